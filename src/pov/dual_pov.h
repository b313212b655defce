#pragma once

// The dual POV: one squad POV source shown as a small window over the own
// view, popping in and out with a short scale animation, making way while a
// full-screen squad POV is shown. Everything runs on the UI thread.

#include <obs.hpp>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <string>

#include "pov/dual_geometry.h"

class QTimer;

// The dual POV's state besides its `dualShown` flag (in PovFlags).
struct DualPovState {
	// The window is withdrawn for a full-screen squad POV and comes back
	// when it ends.
	bool dualMadeWay = false;
	// Source shown in the window: the last one requested.
	std::string dualSource;
	// The last requested layout, clamped.
	DualLayout layout;
	// The scene holding the window (the program scene at the last
	// "dual.show"), held weakly so that a deleted scene is never kept.
	OBSWeakSourceAutoRelease dualScene;

	// Pop animation: 1 in, -1 out, 0 idle; the window's current scale;
	// the scale when the running animation started; its initial wait.
	int animDirection = 0;
	double animValue = 1.0;
	double animFrom = 0.0;
	int animDelayMs = 0;
	QElapsedTimer animClock;
	// 16 ms frame timer, created on first use, running only while an
	// animation is under way; deleted by shutdownDualPov.
	QTimer *animTimer = nullptr;
};

DualPovState &dualPovState();

// "dual.show": the source at `slot` of the POV list in a window at x, y, w
// (canvas fractions) with an opacity; fills "source", "slot" and "shown".
// An error text, empty on success.
QString showDual(int slot, double x, double y, double w, double opacity,
		 QJsonObject &data);
// "dual.hide": pops the window out, or takes it down at once.
void hideDual();

// Called by the squad POV: before a full-screen POV is shown, and after it
// is hidden (the window returns after `delayMs`).
void dualMakeWay();
void dualReturnAfterSwap(int delayMs);

// On a scene collection change (both when it begins and when it has
// ended): no window, no opacity filter, flags cleared.
void resetDualPov();
// At exit and unload: deletes the frame timer and lets go of the window's
// scene; windows, filters, mute states and flags stay. A second call does
// nothing more.
void shutdownDualPov();

// Before OBS saves the collection at exit: a running pop-in or pop-out
// jumps to its end (at rest, or torn down), so no window is saved frozen
// mid-way.
void finishDualAnimation();
// When OBS has finished loading, with nothing shown by this run yet:
// windows an earlier run left visible are hidden, and its opacity filters
// removed (as on a collection change).
void clearDualLeftovers();

// The animation's steps, exposed for tests and benchmarks.
void startDualAnimation(int direction, int delayMs);
void stopDualAnimation();
void dualAnimationTick();
