#pragma once

// Two process-wide flags, touched only on the user-interface thread.
struct PovFlags {
	// A squad POV source is shown full-screen.
	bool povShown = false;
	// The linked application wants the dual POV window.
	bool dualShown = false;
};

PovFlags &povFlags();
