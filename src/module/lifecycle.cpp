#include "module/lifecycle.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QCoreApplication>

#include "config/link_config.h"
#include "module/link_log.h"
#include "module/module_state.h"
#include "module/tools_menu.h"
#include "server/link_server.h"

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
	restartLinkServer();

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

	state.linkServer.reset();
	linkLog(LOG_INFO, "Tessil Link unloaded");
}
