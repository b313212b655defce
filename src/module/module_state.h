#pragma once

#include <obs.h>

#include <atomic>
#include <memory>

class LinkServer;

enum HotkeyIndex { HotkeyClip, HotkeyReplay, HotkeyPov, HotkeyCount };

// The module-wide state, one of each for the life of the loaded module.
struct ModuleState {
	// The one link server, from load to unload. Host callbacks test it
	// and do nothing while it is null.
	std::unique_ptr<LinkServer> linkServer;
	// The same server for callbacks that libobs raises on other threads:
	// they may only post work to it. Cleared before the server goes.
	std::atomic<LinkServer *> serverForOtherThreads{nullptr};
	obs_hotkey_id hotkeyIds[HotkeyCount] = {OBS_INVALID_HOTKEY_ID,
						OBS_INVALID_HOTKEY_ID,
						OBS_INVALID_HOTKEY_ID};
	// obs-browser's factory object, null when the dock is unavailable.
	void *browserFactory = nullptr;
	// Set while OBS swaps scene collections: no "scenes.changed" then.
	bool sceneCollectionChanging = false;
	// The hotkey bindings were saved when OBS began to exit.
	bool hotkeyBindingsSaved = false;
};

ModuleState &moduleState();

// Drops every client, then listens with the configured port and LAN switch.
bool restartLinkServer();

// Clients that have presented the token; 0 without a server.
int linkedClientCount();
