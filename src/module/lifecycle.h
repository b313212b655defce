#pragma once

// The load and unload sequences behind obs_module_load/obs_module_unload.
bool loadTessilLink();
void unloadTessilLink();
