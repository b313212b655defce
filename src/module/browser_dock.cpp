#include "module/browser_dock.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <util/platform.h>

#include <QCoreApplication>
#include <QDockWidget>
#include <QMainWindow>
#include <QMetaObject>
#include <QString>

#include <string>
#include <system_error>
#include <thread>

#include "config/link_config.h"
#include "module/browser_factory.h"
#include "common/link_log.h"
#include "module/module_state.h"

namespace {
const char dockId[] = "tessil_link_dock";
const char browserMissing[] =
	"browser docks unavailable in this OBS build; open Tessil from Tools > Tessil Link";
const char dockRefused[] = "could not add the Tessil dock";

// Counts the starts of the dock in this process; a dock creation queued by
// an earlier start (before an unload) finds a different number and is
// dropped.
unsigned dockStarts = 0;

CreateBrowserFactory findFactoryFunction()
{
	obs_module_t *browser = obs_get_module("obs-browser");
	void *library = browser ? obs_get_module_lib(browser) : nullptr;
	void *function = library ? os_dlsym(library, BROWSER_FACTORY_FUNCTION)
				 : nullptr;
	return reinterpret_cast<CreateBrowserFactory>(function);
}

// The host takes the widget into a dock with the given id and title; false
// when it refuses (the widget is gone then).
bool addDock(const char *id, const char *title, QWidget *widget)
{
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
	if (obs_frontend_add_dock_by_id(id, title, widget))
		return true;
	delete widget;
	return false;
#else
	// Before OBS 30 the plug-in makes the dock itself: a child of the main
	// window, so that it can be found there by its object name.
	auto *dock = new QDockWidget(
		static_cast<QWidget *>(obs_frontend_get_main_window()));
	dock->setObjectName(QString::fromUtf8(id));
	dock->setWindowTitle(QString::fromUtf8(title));
	dock->setWidget(widget);
	if (obs_frontend_add_dock(dock))
		return true;
	delete dock;
	return false;
#endif
}

void createBrowserDock(BrowserFactory *factory)
{
	LinkConfig &config = linkConfig();
	const std::string url = config.appUrl + "/dock";
	QWidget *widget = factory->create_widget(nullptr, url, nullptr);
	if (!widget) {
		linkLog(LOG_WARNING, dockRefused);
		return;
	}
	widget->setMinimumSize(300, 420);
	if (!addDock(dockId, obs_module_text("TessilLink.Dock"), widget)) {
		linkLog(LOG_WARNING, dockRefused);
		return;
	}

	// The very first time only: docked on the right and in front. From
	// then on OBS's saved layout places it.
	if (!config.dockShown) {
		auto *mainWindow = static_cast<QMainWindow *>(
			obs_frontend_get_main_window());
		QDockWidget *dock =
			mainWindow ? mainWindow->findChild<QDockWidget *>(
					     QString::fromUtf8(dockId))
				   : nullptr;
		if (dock) {
			dock->setFloating(false);
			mainWindow->addDockWidget(Qt::RightDockWidgetArea,
						  dock);
			dock->show();
			dock->raise();
		}
		config.dockShown = true;
		saveLinkConfig(config);
	}
	linkLog(LOG_INFO, "Tessil dock ready (%s/dock)", config.appUrl.c_str());
}

// Runs on the UI thread when the browser is ready: creates the dock unless
// the module was unloaded (or started the dock again) meanwhile.
void onBrowserReady(BrowserFactory *factory, unsigned start)
{
	const ModuleState &state = moduleState();
	if (!state.linkServer || start != dockStarts ||
	    state.browserFactory != factory)
		return;
	createBrowserDock(factory);
}
}

void startBrowserDock()
{
	ModuleState &state = moduleState();
	const CreateBrowserFactory create = findFactoryFunction();
	state.browserFactory = create ? create() : nullptr;
	auto *factory = static_cast<BrowserFactory *>(state.browserFactory);
	if (!factory) {
		linkLog(LOG_WARNING, browserMissing);
		return;
	}

	factory->init_browser();
	const unsigned start = ++dockStarts;
	try {
		// The waiting thread only waits and posts; everything else
		// happens on the UI thread.
		std::thread([factory, start] {
			factory->wait_for_browser_init();
			QMetaObject::invokeMethod(
				QCoreApplication::instance(),
				[factory, start] {
					onBrowserReady(factory, start);
				},
				Qt::QueuedConnection);
		}).detach();
	} catch (const std::system_error &) {
		linkLog(LOG_WARNING, dockRefused);
	}
}
