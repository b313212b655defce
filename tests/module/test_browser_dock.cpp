#include <gtest/gtest.h>

#include <obs-module.h>
#include <util/platform.h>

#include <QDockWidget>
#include <QFile>
#include <QMainWindow>

#include <cctype>
#include <string>

#include "config/link_config.h"
#include "frontend_double.h"
#include "loaded_module.h"
#include "log_capture.h"
#include "module/module_state.h"
#include "stand_in_browser.h"
#include "wait.h"

namespace {
const char unavailableLine[] =
	"[tessil-link] browser docks unavailable in this OBS build; open Tessil from Tools > Tessil Link";
const char refusedLine[] = "[tessil-link] could not add the Tessil dock";

std::string readyLine(const std::string &appUrl)
{
	return "[tessil-link] Tessil dock ready (" + appUrl + "/dock)";
}

// The plug-in loaded; obs-browser's stand-in opened as a module (never
// initialised), as OBS would have loaded the real one.
class BrowserDock : public LoadedModule {
protected:
	void TearDown() override
	{
		if (browser)
			browser->hold(false);
		LoadedModule::TearDown();
	}

	// Opens the module file at `path`; its control record, if it has one.
	StandInBrowser *openBrowserModule(const char *path)
	{
		obs_module_t *module = nullptr;
		EXPECT_EQ(obs_open_module(&module, path, nullptr),
			  MODULE_SUCCESS);
		auto control = reinterpret_cast<StandInBrowserControl>(os_dlsym(
			obs_get_module_lib(module), STAND_IN_BROWSER_CONTROL));
		browser = control ? control() : nullptr;
		if (browser)
			browser->reset();
		return browser;
	}

	// OBS has finished loading: the relay starts the dock.
	void finishLoading()
	{
		frontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
	}

	// Waits for the host to hold `count` docks; the last one added.
	QDockWidget *waitForDock(size_t count = 1)
	{
		if (!waitUntil([count] {
			    return frontend::docks().size() == count;
		    }))
			return nullptr;
		return qobject_cast<QDockWidget *>(frontend::docks().back());
	}

	StandInBrowser *browser = nullptr;
};
}

TEST_F(BrowserDock, FirstRunDocksOnTheRightAndRemembersIt)
{
	load();
	ASSERT_NE(openBrowserModule(TESSIL_STAND_IN_BROWSER), nullptr);
	finishLoading();
	EXPECT_NE(moduleState().browserFactory, nullptr);
	EXPECT_EQ(browser->initCalls, 1);

	QDockWidget *dock = waitForDock();
	ASSERT_NE(dock, nullptr);
	EXPECT_EQ(browser->waitCalls, 1);
	EXPECT_EQ(browser->widgetCalls, 1);
	EXPECT_EQ(browser->widgetUrl, "http://127.0.0.1:47840/dock");
	EXPECT_TRUE(browser->widgetParentWasNull);
	EXPECT_TRUE(browser->cookieManagerWasNull);

	QMainWindow *mainWindow = frontend::mainWindow();
	EXPECT_EQ(dock->objectName(), "tessil_link_dock");
	EXPECT_EQ(dock->windowTitle(), "Tessil");
	EXPECT_EQ(dock->widget(), browser->widget);
	EXPECT_EQ(dock->widget()->minimumSize(), QSize(300, 420));
	EXPECT_EQ(dock->parentWidget(), mainWindow);
	EXPECT_EQ(mainWindow->dockWidgetArea(dock), Qt::RightDockWidgetArea);
	EXPECT_FALSE(dock->isFloating());
	// Shown by the module itself (the main window here is never shown).
	EXPECT_TRUE(dock->testAttribute(Qt::WA_WState_ExplicitShowHide));
	EXPECT_FALSE(dock->isHidden());

	EXPECT_TRUE(linkConfig().dockShown);
	EXPECT_TRUE(savedConfig().value("dockShown").toBool());
	EXPECT_EQ(countLogLines(LOG_INFO, readyLine("http://127.0.0.1:47840")),
		  1);
	EXPECT_EQ(countLogLines(LOG_WARNING, unavailableLine), 0);
}

TEST_F(BrowserDock, LaterRunsLeavePlacementToOBS)
{
	load({{"dockShown", true}});
	const QByteArray configBefore = [this] {
		QFile file(configJsonPath());
		file.open(QIODevice::ReadOnly);
		return file.readAll();
	}();
	ASSERT_NE(openBrowserModule(TESSIL_STAND_IN_BROWSER), nullptr);
	finishLoading();

	QDockWidget *dock = waitForDock();
	ASSERT_NE(dock, nullptr);
	EXPECT_EQ(dock->widget(), browser->widget);
	// Not shown by the module: OBS's saved layout decides.
	EXPECT_FALSE(dock->testAttribute(Qt::WA_WState_ExplicitShowHide));
	EXPECT_TRUE(linkConfig().dockShown);
	QFile file(configJsonPath());
	ASSERT_TRUE(file.open(QIODevice::ReadOnly));
	EXPECT_EQ(file.readAll(), configBefore) << "config.json rewritten";
	EXPECT_EQ(countLogLines(LOG_INFO, readyLine("http://127.0.0.1:47840")),
		  1);
}

TEST_F(BrowserDock, TheDockShowsTheAppUrlWithDockAppended)
{
	const struct {
		const char *appUrl;
		const char *widgetUrl;
	} cases[] = {
		{"http://127.0.0.1:47840", "http://127.0.0.1:47840/dock"},
		{"http://192.168.1.20:47840/",
		 "http://192.168.1.20:47840//dock"},
	};
	load();
	ASSERT_NE(openBrowserModule(TESSIL_STAND_IN_BROWSER), nullptr);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.appUrl);
		linkConfig().appUrl = c.appUrl;
		finishLoading();
		ASSERT_NE(waitForDock(), nullptr);
		EXPECT_EQ(browser->widgetUrl, c.widgetUrl);
		EXPECT_EQ(countLogLines(LOG_INFO, readyLine(c.appUrl)), 1);
		// The host takes the dock away before the next case: OBS 30
		// and later refuse a second dock with the same id.
		ASSERT_TRUE(frontend::removeDock("tessil_link_dock"));
	}
}

namespace {
struct MissingBrowser {
	const char *situation;
	const char *modulePath; // null: no obs-browser module at all
	bool factoryReturnsNull;
};

class WithoutBrowser : public BrowserDock,
		       public ::testing::WithParamInterface<MissingBrowser> {};

std::string situationName(const ::testing::TestParamInfo<MissingBrowser> &info)
{
	std::string name = info.param.situation;
	for (char &c : name)
		if (!isalnum(static_cast<unsigned char>(c)))
			c = '_';
	return name;
}
}

INSTANTIATE_TEST_SUITE_P(
	BrowserDock, WithoutBrowser,
	::testing::Values(MissingBrowser{"no obs-browser module", nullptr,
					 false},
			  MissingBrowser{"no factory function",
					 TESSIL_STAND_IN_BROWSER_BARE, false},
			  MissingBrowser{"factory returns null",
					 TESSIL_STAND_IN_BROWSER, true}),
	situationName);

TEST_P(WithoutBrowser, OnlyTheToolsMenuRemains)
{
	const MissingBrowser &c = GetParam();
	load();
	if (c.modulePath)
		openBrowserModule(c.modulePath);
	if (browser)
		browser->factoryReturnsNull = c.factoryReturnsNull;

	finishLoading();
	pumpEvents(50);
	EXPECT_EQ(moduleState().browserFactory, nullptr);
	EXPECT_EQ(countLogLines(LOG_WARNING, unavailableLine), 1);
	EXPECT_TRUE(frontend::docks().empty());
	if (browser) {
		EXPECT_EQ(browser->initCalls, 0);
		EXPECT_EQ(browser->widgetCalls, 0);
	}
	EXPECT_EQ(frontend::toolsMenuItems().size(), 1u);
	EXPECT_FALSE(linkConfig().dockShown);
}

TEST_F(BrowserDock, ARefusedDockIsLogged)
{
	load();
	ASSERT_NE(openBrowserModule(TESSIL_STAND_IN_BROWSER), nullptr);
	frontend::refuseDocks(true);
	finishLoading();

	EXPECT_TRUE(waitUntil(
		[] { return countLogLines(LOG_WARNING, refusedLine) == 1; }));
	pumpEvents(50);
	EXPECT_EQ(countLogLines(LOG_WARNING, refusedLine), 1);
	EXPECT_TRUE(frontend::docks().empty());
	EXPECT_EQ(frontend::mainWindow()->findChild<QDockWidget *>(
			  "tessil_link_dock"),
		  nullptr);
	EXPECT_FALSE(linkConfig().dockShown);
	EXPECT_FALSE(savedConfig().value("dockShown").toBool());
	EXPECT_FALSE(logContains("Tessil dock ready"));
}

TEST_F(BrowserDock, NoDockWhenTheBrowserIsReadyAfterUnload)
{
	load();
	ASSERT_NE(openBrowserModule(TESSIL_STAND_IN_BROWSER), nullptr);
	browser->hold(true);
	finishLoading();
	ASSERT_TRUE(waitUntil([this] { return browser->waitCalls == 1; }));

	unload();
	browser->hold(false); // the browser is ready now
	pumpEvents(100);
	EXPECT_TRUE(frontend::docks().empty());
	EXPECT_EQ(browser->widgetCalls, 0);
	EXPECT_FALSE(logContains("Tessil dock ready"));
}
