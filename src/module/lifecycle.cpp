#include "module/lifecycle.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QCoreApplication>

#include "config/link_config.h"
#include "module/close_watch.h"
#include "module/event_relay.h"
#include "module/hotkeys.h"
#include "common/link_log.h"
#include "module/module_state.h"
#include "module/tools_menu.h"
#include "pov/dual_pov.h"
#include "pov/squad_pov.h"
#include "server/link_server.h"

namespace {
const char renameSignal[] = "source_rename";
}

bool loadTessilLink()
{
	// A build for the other Qt major loads into OBS but finds no
	// application object: no event loop would ever serve the sockets.
	if (!QCoreApplication::instance()) {
		linkLog(LOG_WARNING,
			"no Qt application in this process: this build uses Qt %d, which is not the Qt of this OBS; the link is off",
			TESSIL_QT_MAJOR);
		return false;
	}

	loadLinkConfig(linkConfig());

	ModuleState &state = moduleState();
	state.linkServer = std::make_unique<LinkServer>();
	publishLinkServer(state.linkServer.get());
	restartLinkServer();
	startPov();

	registerHotkeys();
	if (obs_data_array_count(linkConfig().hotkeys) > 0)
		restoreHotkeyBindings();

	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
	watchMainWindowClose();
	signal_handler_connect(obs_get_signal_handler(), renameSignal,
			       onSourceRename, nullptr);
	obs_frontend_add_tools_menu_item(obs_module_text("TessilLink.Menu"),
					 openLinkDialog, nullptr);

	linkLog(LOG_INFO, "Tessil Link loaded (version %s)",
		TESSIL_MODULE_VERSION);
	return true;
}

void unloadTessilLink()
{
	ModuleState &state = moduleState();
	if (!state.linkServer)
		return;

	// When OBS exits, the bindings were saved and the callback removed at
	// its exit event: by now libobs has freed the hotkeys, and OBS 30 and
	// later have no front-end API left to remove a callback from.
	if (!state.exitHandled) {
		saveHotkeyBindings();
		obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
	}
	state.exitHandled = false;
	// Saved: the array is not needed again in this process, and holding
	// a libobs allocation past libobs's shutdown shows up as a leak.
	linkConfig().hotkeys = nullptr;
	signal_handler_disconnect(obs_get_signal_handler(), renameSignal,
				  onSourceRename, nullptr);
	stopWatchingMainWindowClose();
	shutdownDualPov();
	// Pending squad POV steps go before the module's code may.
	stopPov();

	publishLinkServer(nullptr);
	state.linkServer.reset();
	linkLog(LOG_INFO, "Tessil Link unloaded");
}
