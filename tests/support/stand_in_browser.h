#pragma once

// The stand-in for obs-browser that the dock tests open as a module named
// "obs-browser": its factory makes plain QWidgets. The tests reach this
// record through the module's exported function stand_in_browser().

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

class QWidget;

struct StandInBrowser {
	// Set by the test before the dock starts.
	bool factoryReturnsNull = false;
	bool widgetIsNull = false;

	// What the module asked of the factory.
	std::atomic<int> initCalls{0};
	std::atomic<int> waitCalls{0};
	int widgetCalls = 0;
	std::string widgetUrl;
	bool widgetParentWasNull = false;
	bool cookieManagerWasNull = false;
	// The last widget made; the dock owns it.
	QWidget *widget = nullptr;

	void reset()
	{
		factoryReturnsNull = false;
		widgetIsNull = false;
		initCalls = 0;
		waitCalls = 0;
		widgetCalls = 0;
		widgetUrl.clear();
		widgetParentWasNull = false;
		cookieManagerWasNull = false;
		widget = nullptr;
		hold(false);
	}

	// While held, wait_for_browser_init blocks: the browser is "starting".
	void hold(bool held)
	{
		std::lock_guard<std::mutex> lock(mutex);
		this->held = held;
		if (!held)
			released.notify_all();
	}

	void waitWhileHeld()
	{
		std::unique_lock<std::mutex> lock(mutex);
		released.wait(lock, [this] { return !held; });
	}

private:
	std::mutex mutex;
	std::condition_variable released;
	bool held = false;
};

#define STAND_IN_BROWSER_CONTROL "stand_in_browser"
using StandInBrowserControl = StandInBrowser *(*)();
