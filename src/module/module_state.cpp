#include "module/module_state.h"

#include "config/link_config.h"
#include "server/link_server.h"

#include <QMetaObject>
#include <QObject>

#include <mutex>

namespace {
std::mutex publishedMutex;
LinkServer *publishedServer = nullptr;
}

void publishLinkServer(LinkServer *server)
{
	std::lock_guard<std::mutex> lock(publishedMutex);
	publishedServer = server;
}

bool postToLinkServer(const std::function<void()> &work)
{
	std::lock_guard<std::mutex> lock(publishedMutex);
	if (!publishedServer)
		return false;
	QMetaObject::invokeMethod(publishedServer, work, Qt::QueuedConnection);
	return true;
}

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
