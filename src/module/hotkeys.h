#pragma once

#include <obs.h>

// The clip, replay and POV hotkeys: each press is a "hotkey" event for the
// linked application.

// Registers the three front-end hotkeys and keeps their ids.
void registerHotkeys();
// Restores the bindings saved in the configuration, by position.
void restoreHotkeyBindings();
// Stores the current bindings in the configuration and saves it.
void saveHotkeyBindings();

void onHotkey(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);
