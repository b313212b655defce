#pragma once

// OBS saves the scene collection while its main window closes, before any
// front-end event tells of the exit: a running dual POV animation is ended
// first, so that no window is saved frozen half-way.

// Starts watching the main window's close (nothing without a main window).
void watchMainWindowClose();
// Stops watching; a second call does nothing.
void stopWatchingMainWindowClose();
