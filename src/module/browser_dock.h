#pragma once

// Docks the companion application's page in OBS's main window where OBS has
// its browser module. Runs once OBS has finished loading: finds obs-browser,
// starts its browser, and leaves the wait for it to a thread of its own,
// which hands the creation of the dock back to the UI thread.
void startBrowserDock();
