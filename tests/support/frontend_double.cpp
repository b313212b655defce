#include "frontend_double.h"

#include <QApplication>
#include <QDockWidget>
#include <QMainWindow>

#include <algorithm>
#include <functional>
#include <utility>

namespace {
struct FrontendState {
	std::vector<OBSSource> scenes;
	OBSSource program;
	OBSSource preview;
	bool studioMode = false;
	bool streaming = false;
	bool recording = false;
	bool replayActive = false;
	bool hasLastReplay = false;
	std::string lastReplay;
	int replaySaves = 0;
	int replayStarts = 0;
	int replayStops = 0;
	std::function<void()> replayStartHook;
	std::function<void(obs_source_t *)> setSceneHook;
	std::vector<OBSSource> transitions;
	std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;
	std::vector<frontend::ToolsMenuItem> toolsItems;
	std::vector<QWidget *> docks;
	bool refuseDocks = false;
	int strayRemovals = 0;
};

FrontendState &state()
{
	static FrontendState s;
	return s;
}

QMainWindow *&window()
{
	static QMainWindow *w = nullptr;
	return w;
}
}

namespace frontend {

void reset()
{
	FrontendState &s = state();
	for (QWidget *dock : s.docks)
		delete dock;
	// As OBS clears its scene collection at exit.
	for (const OBSSource &scene : s.scenes)
		obs_source_remove(scene);
	s = FrontendState();
}

obs_source_t *addScene(const char *name)
{
	OBSSceneAutoRelease scene = obs_scene_create(name);
	obs_source_t *source = obs_scene_get_source(scene);
	listScene(source);
	return source;
}

void listScene(obs_source_t *scene)
{
	state().scenes.emplace_back(scene);
	if (!state().program)
		state().program = scene;
}

void removeScene(obs_source_t *scene)
{
	auto &scenes = state().scenes;
	const auto listed = std::find_if(scenes.begin(), scenes.end(),
					 [scene](const OBSSource &s) {
						 return s.Get() == scene;
					 });
	if (listed != scenes.end()) {
		obs_source_remove(scene);
		scenes.erase(listed);
	}
	if (state().program.Get() == scene)
		state().program = nullptr;
	if (state().preview.Get() == scene)
		state().preview = nullptr;
}

void setProgramScene(obs_source_t *scene)
{
	state().program = scene;
}

void setPreviewScene(obs_source_t *scene)
{
	state().preview = scene;
}

void setStudioMode(bool enabled)
{
	state().studioMode = enabled;
}

void setStreaming(bool active)
{
	state().streaming = active;
}

void setRecording(bool active)
{
	state().recording = active;
}

void setReplayBufferActive(bool active)
{
	state().replayActive = active;
}

void setLastReplay(const char *path)
{
	state().hasLastReplay = path != nullptr;
	state().lastReplay = path ? path : "";
}

int replaySaveCount()
{
	return state().replaySaves;
}

int replayStartCount()
{
	return state().replayStarts;
}

void onReplayBufferStart(std::function<void()> hook)
{
	state().replayStartHook = std::move(hook);
}

void onSetCurrentScene(std::function<void(obs_source_t *)> hook)
{
	state().setSceneHook = std::move(hook);
}

void setTransitions(const std::vector<obs_source_t *> &transitions)
{
	state().transitions.assign(transitions.begin(), transitions.end());
}

int replayStopCount()
{
	return state().replayStops;
}

void fireEvent(obs_frontend_event event)
{
	// Callbacks may remove themselves: call a copy.
	const auto callbacks = state().callbacks;
	for (auto it = callbacks.rbegin(); it != callbacks.rend(); ++it)
		it->first(event, it->second);
}

size_t eventCallbackCount()
{
	return state().callbacks.size();
}

int strayCallbackRemovals()
{
	return state().strayRemovals;
}

const std::vector<ToolsMenuItem> &toolsMenuItems()
{
	return state().toolsItems;
}

bool clickToolsMenuItem(const std::string &name)
{
	for (const ToolsMenuItem &item : state().toolsItems) {
		if (item.name == name) {
			item.callback(item.data);
			return true;
		}
	}
	return false;
}

QMainWindow *mainWindow()
{
	if (!window())
		window() = new QMainWindow();
	return window();
}

const std::vector<QWidget *> &docks()
{
	return state().docks;
}

bool removeDock(const char *id)
{
	auto &docks = state().docks;
	const QString name = QString::fromUtf8(id);
	const auto it = std::find_if(docks.begin(), docks.end(),
				     [&name](const QWidget *dock) {
					     return dock->objectName() == name;
				     });
	if (it == docks.end())
		return false;
	QWidget *dock = *it;
	docks.erase(it);
	frontend::mainWindow()->removeDockWidget(
		static_cast<QDockWidget *>(dock));
	delete dock;
	return true;
}

void refuseDocks(bool refuse)
{
	state().refuseDocks = refuse;
}

} // namespace frontend

// The front-end API, as OBS 29's user interface implements it.

void obs_frontend_get_scenes(obs_frontend_source_list *sources)
{
	for (const OBSSource &scene : state().scenes) {
		obs_source_t *ref = obs_source_get_ref(scene.Get());
		da_push_back(sources->sources, &ref);
	}
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	return obs_source_get_ref(state().program);
}

void obs_frontend_get_transitions(struct obs_frontend_source_list *sources)
{
	for (const OBSSource &transition : state().transitions) {
		obs_source_t *source = obs_source_get_ref(transition);
		da_push_back(sources->sources, &source);
	}
}

void obs_frontend_set_current_scene(obs_source_t *scene)
{
	// Copied: the hook may reset the double.
	const std::function<void(obs_source_t *)> hook = state().setSceneHook;
	if (hook)
		hook(scene);
	if (state().studioMode) {
		state().preview = scene;
		frontend::fireEvent(OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED);
	} else {
		state().program = scene;
		frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	}
}

obs_source_t *obs_frontend_get_current_preview_scene(void)
{
	return state().studioMode ? obs_source_get_ref(state().preview)
				  : nullptr;
}

void obs_frontend_set_current_preview_scene(obs_source_t *scene)
{
	if (state().studioMode) {
		state().preview = scene;
		frontend::fireEvent(OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED);
	}
}

bool obs_frontend_preview_program_mode_active(void)
{
	return state().studioMode;
}

void obs_frontend_set_preview_program_mode(bool enable)
{
	state().studioMode = enable;
}

bool obs_frontend_streaming_active(void)
{
	return state().streaming;
}

bool obs_frontend_recording_active(void)
{
	return state().recording;
}

bool obs_frontend_replay_buffer_active(void)
{
	return state().replayActive;
}

void obs_frontend_replay_buffer_start(void)
{
	state().replayStarts++;
	// Copied: the hook may reset the double.
	const std::function<void()> hook = state().replayStartHook;
	if (hook)
		hook();
}

void obs_frontend_replay_buffer_stop(void)
{
	state().replayStops++;
}

void obs_frontend_replay_buffer_save(void)
{
	state().replaySaves++;
}

char *obs_frontend_get_last_replay(void)
{
	return state().hasLastReplay ? bstrdup(state().lastReplay.c_str())
				     : nullptr;
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback,
				     void *private_data)
{
	auto &callbacks = state().callbacks;
	const auto entry = std::make_pair(callback, private_data);
	if (std::find(callbacks.begin(), callbacks.end(), entry) ==
	    callbacks.end())
		callbacks.push_back(entry);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback,
					void *private_data)
{
	auto &callbacks = state().callbacks;
	// OBS logs an error for this (OBS 30 and later also when its
	// front-end API is gone at exit).
	if (callbacks.empty())
		state().strayRemovals++;
	callbacks.erase(std::remove(callbacks.begin(), callbacks.end(),
				    std::make_pair(callback, private_data)),
			callbacks.end());
}

void obs_frontend_add_tools_menu_item(const char *name,
				      obs_frontend_cb callback,
				      void *private_data)
{
	state().toolsItems.push_back(
		{name ? name : "", callback, private_data});
}

void *obs_frontend_get_main_window(void)
{
	// A program without widgets (the request fuzzer) has no main window.
	if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
		return nullptr;
	return frontend::mainWindow();
}

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
// From OBS 30 on, OBS makes the dock around the widget: a dock widget named
// after the id, on the main window. An id in use is refused.
bool obs_frontend_add_dock_by_id(const char *id, const char *title,
				 void *widget)
{
	QMainWindow *window = frontend::mainWindow();
	if (state().refuseDocks ||
	    window->findChild<QDockWidget *>(QString::fromUtf8(id)))
		return false;
	auto *dock = new QDockWidget(window);
	dock->setObjectName(QString::fromUtf8(id));
	dock->setWindowTitle(QString::fromUtf8(title));
	dock->setWidget(static_cast<QWidget *>(widget));
	window->addDockWidget(Qt::RightDockWidgetArea, dock);
	state().docks.push_back(dock);
	return true;
}

void obs_frontend_remove_dock(const char *id)
{
	frontend::removeDock(id);
}
#endif

#if LIBOBS_API_VER < MAKE_SEMANTIC_VERSION(32, 0, 0)
void *obs_frontend_add_dock(void *dock)
{
	if (state().refuseDocks)
		return nullptr;
	auto *widget = static_cast<QDockWidget *>(dock);
	frontend::mainWindow()->addDockWidget(Qt::RightDockWidgetArea, widget);
	state().docks.push_back(widget);
	return widget->toggleViewAction();
}
#endif
