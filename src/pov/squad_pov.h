#pragma once

// The squad POV: a team-mate's feed shown full-screen instead of the own
// view. Requests answer at once; their work runs later in a deferred step,
// and only the step of the most recent request acts.

#include <QString>

#include <cstdint>
#include <string>

struct SquadPovState {
	// When the last show step ran (ms since the Unix epoch).
	int64_t povShownAtMs = 0;
	// Advanced by every accepted request; a step acts only while the
	// value it captured is still current.
	uint32_t povGeneration = 0;
};

SquadPovState &squadPovState();

// Owns the timers of pending steps. startPov at load (they would be made on
// first use anyway); stopPov at unload, before the module's code may go: it
// deletes the timers, so no pending step ever runs afterwards.
void startPov();
void stopPov();

// "pov.show": after `delayMs`, the source at `slot` of the POV list is shown
// and unmuted, every other POV source hidden and muted. An error text,
// empty when the step is scheduled.
QString showPov(int slot, int delayMs);
// "pov.hide": after `delayMs`, and no sooner than `minShownMs` after the
// last show step, every POV source is hidden and muted.
void hidePov(int delayMs, int minShownMs);

// Shows or hides the top-level items of the source `name` in every scene
// and in the program copy of the current one (never dual POV windows), and
// mutes the source exactly when hidden.
void setPovSourceShown(const std::string &name, bool shown);

// When a hide step runs, and after how long the dual POV window comes back.
struct PovHideTiming {
	int waitMs;
	int backDelayMs;
};
PovHideTiming povHideTiming(int delayMs, int minShownMs, int64_t shownAtMs,
			    int64_t nowMs);
