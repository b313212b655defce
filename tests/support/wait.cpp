#include "wait.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
	if (condition())
		return true;
	// A real event loop, as in OBS: deferred deletions run in it, which a
	// bare processEvents() never does.
	QEventLoop loop;
	QElapsedTimer elapsed;
	elapsed.start();
	bool met = false;
	QTimer check;
	QObject::connect(&check, &QTimer::timeout, &loop, [&]() {
		met = condition();
		if (met || elapsed.elapsed() >= timeoutMs)
			loop.quit();
	});
	check.start(1);
	loop.exec();
	return met;
}

void pumpEvents(int ms)
{
	QElapsedTimer elapsed;
	elapsed.start();
	waitUntil([&] { return elapsed.elapsed() >= ms; }, ms + 1000);
}
