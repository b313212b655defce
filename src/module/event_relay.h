#pragma once

#include <obs-frontend-api.h>

// Turns OBS's front-end events and source renames into link events.
void onFrontendEvent(enum obs_frontend_event event, void *private_data);
// Connected to libobs's global "source_rename" signal; any thread.
void onSourceRename(void *data, calldata_t *cd);
// Asks for one coalesced "scenes.changed" event.
void queueScenesChanged();
