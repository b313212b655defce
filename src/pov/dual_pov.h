#pragma once

// The dual POV window's life around scene-collection changes and shutdown.

// Forgets the window's state when OBS swaps scene collections.
void resetDualPov();
// Stops the pop animation and lets go of the window's scene; windows and
// filters stay where they are. A second call does nothing more.
void shutdownDualPov();
