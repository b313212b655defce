#pragma once

// Docks the companion application's page in OBS's main window where OBS has
// its browser module. Runs once OBS has finished loading.
void startBrowserDock();
