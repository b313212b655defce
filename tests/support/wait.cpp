#include "wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
	QElapsedTimer elapsed;
	elapsed.start();
	// A short repeating timer bounds each wait for more events.
	QTimer wake;
	wake.start(2);
	while (!condition()) {
		if (elapsed.elapsed() >= timeoutMs)
			return condition();
		QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
	}
	return true;
}

void pumpEvents(int ms)
{
	QElapsedTimer elapsed;
	elapsed.start();
	waitUntil([&] { return elapsed.elapsed() >= ms; }, ms + 1000);
}
