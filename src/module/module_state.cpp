#include "module/module_state.h"

#include "config/link_config.h"
#include "server/link_server.h"

ModuleState &moduleState()
{
	static ModuleState state;
	return state;
}

bool restartLinkServer()
{
	LinkServer *server = moduleState().linkServer.get();
	if (!server)
		return false;
	const LinkConfig &config = linkConfig();
	return server->listen(config.port, config.allowLan);
}

int linkedClientCount()
{
	LinkServer *server = moduleState().linkServer.get();
	return server ? server->linkedCount() : 0;
}
