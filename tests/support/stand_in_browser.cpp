// A module file named obs-browser.so that stands in for OBS's browser module:
// its factory function hands out an object with the factory interface the
// plug-in declares, making plain QWidgets instead of browser views. Built a
// second time with TESSIL_STAND_IN_WITHOUT_FACTORY, it lacks the function.
#include <obs-module.h>

#include <QWidget>

#include "module/browser_factory.h"
#include "stand_in_browser.h"

OBS_DECLARE_MODULE()

bool obs_module_load(void)
{
	return true;
}

namespace {
StandInBrowser &control()
{
	static StandInBrowser browser;
	return browser;
}

class StandInFactory : public BrowserFactory {
public:
	bool init_browser() override
	{
		control().initCalls++;
		return true;
	}

	bool initialized() override { return true; }

	bool wait_for_browser_init() override
	{
		control().waitCalls++;
		control().waitWhileHeld();
		return true;
	}

	QWidget *create_widget(QWidget *parent, const std::string &url,
			       BrowserCookieManager *cookieManager) override
	{
		StandInBrowser &browser = control();
		browser.widgetCalls++;
		browser.widgetUrl = url;
		browser.widgetParentWasNull = parent == nullptr;
		browser.cookieManagerWasNull = cookieManager == nullptr;
		browser.widget = browser.widgetIsNull ? nullptr
						      : new QWidget(parent);
		return browser.widget;
	}
};
}

extern "C" EXPORT StandInBrowser *stand_in_browser(void)
{
	return &control();
}

#ifndef TESSIL_STAND_IN_WITHOUT_FACTORY
extern "C" EXPORT BrowserFactory *obs_browser_create_qcef(void)
{
	static StandInFactory factory;
	return control().factoryReturnsNull ? nullptr : &factory;
}
#endif
