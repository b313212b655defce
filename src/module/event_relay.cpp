#include "module/event_relay.h"

#include <obs.hpp>

#include <QJsonObject>
#include <QMetaObject>

#include "module/browser_dock.h"
#include "module/hotkeys.h"
#include "module/module_state.h"
#include "obs/scene_lookup.h"
#include "pov/dual_pov.h"
#include "server/link_server.h"

namespace {
// How long OBS's exit may wait for clients to take their last messages.
constexpr int exitDeliveryMs = 250;

void broadcast(const char *name, const QJsonObject &data = QJsonObject())
{
	moduleState().linkServer->broadcastEvent(QString::fromUtf8(name), data);
}

QString currentSceneName()
{
	OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
	const char *name = scene ? obs_source_get_name(scene) : nullptr;
	return QString::fromUtf8(name ? name : "");
}

// In studio mode OBS has just made a new program copy of the current
// scene: its window copies are marked while it still matches its original.
void markProgramWindowCopies()
{
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	programDuplicate(current);
}

QString lastReplayPath()
{
	char *path = obs_frontend_get_last_replay();
	const QString text = QString::fromUtf8(path ? path : "");
	bfree(path);
	return text;
}
}

void onFrontendEvent(enum obs_frontend_event event, void *)
{
	ModuleState &state = moduleState();
	if (!state.linkServer)
		return;

	switch (event) {
	case OBS_FRONTEND_EVENT_STREAMING_STARTED:
		broadcast("stream.started");
		break;
	case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
		broadcast("stream.stopped");
		break;
	case OBS_FRONTEND_EVENT_RECORDING_STARTED:
		broadcast("record.started");
		break;
	case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
		broadcast("record.stopped");
		break;
	case OBS_FRONTEND_EVENT_SCENE_CHANGED:
		markProgramWindowCopies();
		broadcast("scene.changed", {{"name", currentSceneName()}});
		break;
	case OBS_FRONTEND_EVENT_STUDIO_MODE_ENABLED:
		markProgramWindowCopies();
		break;
	case OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED:
		queueScenesChanged();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
		state.sceneCollectionChanging = false;
		resetDualPov();
		queueScenesChanged();
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		// libobs frees every hotkey before it unloads the modules, so
		// their bindings can only be read now.
		saveHotkeyBindings();
		obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
		state.exitHandled = true;
		shutdownDualPov();
		broadcast("obs.exit");
		state.linkServer->deliverBeforeExit(exitDeliveryMs);
		state.linkServer->stop();
		break;
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTED:
		broadcast("replay.started");
		break;
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPED:
		broadcast("replay.stopped");
		break;
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		clearDualLeftovers();
		startBrowserDock();
		queueScenesChanged();
		break;
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_SAVED:
		broadcast("replay.saved", {{"path", lastReplayPath()}});
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
		state.sceneCollectionChanging = true;
		resetDualPov();
		break;
	default:
		break;
	}
}

void queueScenesChanged()
{
	ModuleState &state = moduleState();
	if (!state.linkServer || state.sceneCollectionChanging)
		return;
	state.linkServer->queueEvent(QStringLiteral("scenes.changed"));
}

void onSourceRename(void *, calldata_t *cd)
{
	auto *source = static_cast<obs_source_t *>(calldata_ptr(cd, "source"));
	if (!source)
		return;
	const obs_source_type type = obs_source_get_type(source);
	if (type != OBS_SOURCE_TYPE_INPUT && type != OBS_SOURCE_TYPE_SCENE)
		return;
	// libobs may rename on any thread: the rest happens on the server's,
	// and nothing is queued without a server.
	postToLinkServer(queueScenesChanged);
}
