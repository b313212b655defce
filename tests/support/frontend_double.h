#pragma once

// A stand-in for the OBS application's front-end API: the obs_frontend_*
// functions the module calls, backed by real libobs scenes, plus controls
// for the tests.

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <functional>
#include <string>
#include <vector>

class QMainWindow;
class QWidget;

namespace frontend {

// Forgets every scene, callback, menu item and state flag. The fixture calls
// it before libobs shuts down.
void reset();

// Creates a real scene, appends it to the front-end's scene list and returns
// it (borrowed: the list keeps the reference). The first scene added becomes
// the current one.
obs_source_t *addScene(const char *name);
// Appends a scene the test made (the list takes a reference of its own), as
// one whose name another scene has (see duplicates.h).
void listScene(obs_source_t *scene);
// Takes the scene off the list and removes it, as OBS does when a scene is
// deleted; reset() removes every listed scene, as OBS does at exit. (libobs
// 32 keeps part of a public scene released without removal until it shuts
// down.)
void removeScene(obs_source_t *scene);
// Without events: the program scene / the preview scene.
void setProgramScene(obs_source_t *scene);
void setPreviewScene(obs_source_t *scene);
void setStudioMode(bool enabled);

void setStreaming(bool active);
void setRecording(bool active);
void setReplayBufferActive(bool active);
void setLastReplay(const char *path); // null: no path

int replaySaveCount();
int replayStartCount();
int replayStopCount();
// Runs `hook` inside every obs_frontend_replay_buffer_start, as OBS runs a
// modal dialog there when something is missing (until reset).
void onReplayBufferStart(std::function<void()> hook);
// Runs `hook` with the scene at the start of every
// obs_frontend_set_current_scene, where OBS starts its transition, before
// the double switches (until reset).
void onSetCurrentScene(std::function<void(obs_source_t *)> hook);
// What obs_frontend_get_transitions lists (until reset).
void setTransitions(const std::vector<obs_source_t *> &transitions);

// Calls every registered event callback, the last registered first.
void fireEvent(obs_frontend_event event);
size_t eventCallbackCount();
// Calls that removed an event callback while none was registered.
int strayCallbackRemovals();

struct ToolsMenuItem {
	std::string name;
	obs_frontend_cb callback;
	void *data;
};
const std::vector<ToolsMenuItem> &toolsMenuItems();
// Runs the callback of the item named `name`; false when there is none.
bool clickToolsMenuItem(const std::string &name);

QMainWindow *mainWindow();
const std::vector<QWidget *> &docks();
// Takes the dock with this id (its object name) off the main window and
// deletes it with its widget, as OBS's obs_frontend_remove_dock does (OBS
// 30 and later); false when there is no such dock.
bool removeDock(const char *id);
// Makes obs_frontend_add_dock refuse (return null) until reset.
void refuseDocks(bool refuse);

} // namespace frontend
