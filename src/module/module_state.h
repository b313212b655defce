#pragma once

#include <obs.h>

#include <functional>
#include <memory>

class LinkServer;
class QObject;

enum HotkeyIndex { HotkeyClip, HotkeyReplay, HotkeyPov, HotkeyCount };

// The module-wide state, one of each for the life of the loaded module.
struct ModuleState {
	// The one link server, from load to unload. Host callbacks test it
	// and do nothing while it is null.
	std::unique_ptr<LinkServer> linkServer;
	obs_hotkey_id hotkeyIds[HotkeyCount] = {OBS_INVALID_HOTKEY_ID,
						OBS_INVALID_HOTKEY_ID,
						OBS_INVALID_HOTKEY_ID};
	// obs-browser's factory object, null when the dock is unavailable.
	void *browserFactory = nullptr;
	// Set while OBS swaps scene collections: no "scenes.changed" then.
	bool sceneCollectionChanging = false;
	// OBS began to exit: the hotkey bindings were saved while the hotkeys
	// still existed, and the front-end callback was removed while the
	// front-end could still take the call (OBS 30 and later remove the
	// front-end API right after the exit event).
	bool exitHandled = false;
	// Watches OBS's main window for its close (module/close_watch).
	std::unique_ptr<QObject> closeWatch;
};

ModuleState &moduleState();

// Makes the server reachable from other threads (null: no longer). Set
// after the server is made, cleared before it goes.
void publishLinkServer(LinkServer *server);

// From any thread: queues `work` for the link server's thread. False, with
// nothing queued, while there is no server. The server cannot go away
// while work is being queued.
bool postToLinkServer(const std::function<void()> &work);

// Drops every client, then listens with the configured port and LAN switch.
bool restartLinkServer();

// Clients that have presented the token; 0 without a server.
int linkedClientCount();
