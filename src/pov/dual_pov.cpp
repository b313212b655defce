#include "pov/dual_pov.h"

#include <obs-frontend-api.h>

#include <QTimer>

#include <algorithm>

#include "config/link_config.h"
#include "common/link_log.h"
#include "obs/scene_lookup.h"
#include "pov/dual_window.h"
#include "pov/pov_flags.h"

namespace {
const int animIntervalMs = 16;
const double popInMs = 480.0;
const double popOutMs = 320.0;

// Clamps into [low, high]; NaN becomes `low`.
double clampTo(double value, double low, double high)
{
	if (!(value >= low))
		return low;
	return std::min(value, high);
}

OBSSourceAutoRelease strongDualScene()
{
	return obs_weak_source_get_source(dualPovState().dualScene);
}

void rememberDualScene(obs_source_t *scene)
{
	dualPovState().dualScene = obs_source_get_weak_source(scene);
}

// The windows of the dual POV source in its scene, then in that scene's
// program copy.
SceneItemList dualWindows()
{
	const DualPovState &state = dualPovState();
	OBSSourceAutoRelease scene = strongDualScene();
	if (!scene)
		return {};
	SceneItemList windows =
		findDualWindows(obs_scene_from_source(scene), state.dualSource);
	OBSSourceAutoRelease duplicate = programDuplicate(scene);
	if (duplicate) {
		const SceneItemList copies = findDualWindows(
			obs_scene_from_source(duplicate), state.dualSource);
		windows.insert(windows.end(), copies.begin(), copies.end());
	}
	return windows;
}

bool anyDualWindowVisible()
{
	for (const SceneItemRef &item : dualWindows())
		if (obs_sceneitem_visible(item))
			return true;
	return false;
}

// Hides the windows everywhere and takes the fade off the source; the
// flags, source, layout and scene stay.
void tearDownDual()
{
	stopDualAnimation();
	hideDualWindowsEverywhere();
	const std::string &name = dualPovState().dualSource;
	if (name.empty())
		return;
	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	if (source)
		setDualOpacity(source, 1.0);
}

// Puts the window of the dual POV source into its scene and the scene's
// program copy: at rest at once, or popping in after `delayMs`.
void applyDual(bool animate, int delayMs)
{
	DualPovState &state = dualPovState();
	OBSSourceAutoRelease scene = strongDualScene();
	OBSSourceAutoRelease source =
		obs_get_source_by_name(state.dualSource.c_str());
	if (!scene || !source)
		return;

	const bool wasVisible = anyDualWindowVisible();
	obs_source_set_muted(source, true);
	setDualOpacity(source, state.layout.opacity);

	obs_sceneitem_crop crop = {};
	const bool cropFound = findSourceCrop(obs_scene_from_source(scene),
					      state.dualSource, crop);

	OBSSourceAutoRelease duplicate = programDuplicate(scene);
	for (obs_source_t *target : {scene.Get(), duplicate.Get()}) {
		obs_scene_t *targetScene = obs_scene_from_source(target);
		if (!targetScene)
			continue;
		obs_sceneitem_t *item = ensureDualWindow(targetScene, source);
		if (!item)
			continue;
		if (cropFound)
			obs_sceneitem_set_crop(item, &crop);
		if (!animate) {
			placeDualWindow(item, source, state.layout, 1.0);
			obs_sceneitem_set_visible(item, true);
		} else if (!obs_sceneitem_visible(item)) {
			// Revealed by the animation's first frame.
			placeDualWindow(item, source, state.layout, 0.001);
		}
	}

	if (!animate) {
		stopDualAnimation();
		state.animValue = 1.0;
		return;
	}
	if (state.animDirection > 0 && wasVisible)
		return; // already popping in
	if (!wasVisible)
		state.animValue = 0.0;
	startDualAnimation(1, delayMs);
}

// One frame of the running animation at `t` (0 to 1 of its length); at 1
// the animation ends: at rest after a pop-in, torn down after a pop-out.
void moveDualAnimation(double t)
{
	DualPovState &state = dualPovState();
	const bool popIn = state.animDirection > 0;
	if (popIn) {
		const double u = t - 1.0;
		state.animValue = state.animFrom +
				  (1.0 - state.animFrom) *
					  (1.0 + 2.5 * u * u * u + 1.5 * u * u);
	} else {
		state.animValue = state.animFrom *
				  (1.0 - (2.5 * t * t * t - 1.5 * t * t));
	}

	OBSSourceAutoRelease source =
		obs_get_source_by_name(state.dualSource.c_str());
	for (const SceneItemRef &item : dualWindows()) {
		if (source)
			placeDualWindow(item, source, state.layout,
					state.animValue);
		if (popIn && !obs_sceneitem_visible(item))
			obs_sceneitem_set_visible(item, true);
	}

	if (t >= 1.0) {
		stopDualAnimation();
		if (popIn) {
			state.animValue = 1.0;
		} else {
			state.animValue = 0.0;
			tearDownDual();
		}
	}
}
}

DualPovState &dualPovState()
{
	static DualPovState state;
	return state;
}

QString showDual(int slot, double x, double y, double w, double opacity,
		 QJsonObject &data)
{
	const std::vector<std::string> &sources = linkConfig().povSources;
	if (sources.empty())
		return QStringLiteral(
			"no squad POV sources chosen (Tools > Tessil Link)");

	const int last = int(sources.size()) - 1;
	const int position = std::clamp(slot, 0, last);
	const std::string name = sources[size_t(position)];

	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	if (!source)
		return QStringLiteral("no source named ") +
		       QString::fromStdString(name) +
		       QStringLiteral(" (squad POV slot ") +
		       QString::number(position) + QStringLiteral(")");

	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	if (!current)
		return QStringLiteral("no current scene");

	DualPovState &state = dualPovState();
	PovFlags &flags = povFlags();
	OBSSourceAutoRelease previousScene = strongDualScene();

	bool animate = true;
	if (name == state.dualSource && previousScene.Get() == current.Get()) {
		// A window resting on screen is changed in place.
		animate = !(flags.dualShown && !state.dualMadeWay &&
			    state.animDirection == 0 && anyDualWindowVisible());
	} else {
		tearDownDual();
	}

	flags.dualShown = true;
	state.dualSource = name;
	state.layout.x = clampTo(x, 0.0, 1.0);
	state.layout.y = clampTo(y, 0.0, 1.0);
	state.layout.w = clampTo(w, 0.02, 1.0);
	state.layout.opacity = clampTo(opacity, 0.1, 1.0);
	rememberDualScene(current);

	data.insert(QStringLiteral("source"), QString::fromStdString(name));
	data.insert(QStringLiteral("slot"), position);
	data.insert(QStringLiteral("shown"), !flags.povShown);

	if (flags.povShown) {
		// Back through dualReturnAfterSwap when the full-screen POV ends.
		state.dualMadeWay = true;
		return QString();
	}
	state.dualMadeWay = false;
	applyDual(animate, 0);
	linkLog(LOG_INFO, "dual POV: %s in the small window", name.c_str());
	return QString();
}

void hideDual()
{
	DualPovState &state = dualPovState();
	PovFlags &flags = povFlags();
	if (flags.dualShown && !state.dualMadeWay && anyDualWindowVisible()) {
		const int direction = state.animDirection;
		flags.dualShown = false;
		state.dualMadeWay = false;
		// The pop-out's last frame tears the window down.
		if (direction >= 0)
			startDualAnimation(-1, 0);
		linkLog(LOG_INFO, "dual POV: off");
		return;
	}
	flags.dualShown = false;
	state.dualMadeWay = false;
	tearDownDual();
}

void dualMakeWay()
{
	DualPovState &state = dualPovState();
	if (!povFlags().dualShown || state.dualMadeWay)
		return;
	state.dualMadeWay = true;
	tearDownDual();
	linkLog(LOG_INFO, "dual POV: making way for the full-screen swap");
}

void dualReturnAfterSwap(int delayMs)
{
	DualPovState &state = dualPovState();
	if (!povFlags().dualShown || !state.dualMadeWay)
		return;
	state.dualMadeWay = false;
	applyDual(true, delayMs);
	linkLog(LOG_INFO, "dual POV: back after the full-screen swap");
}

void resetDualPov()
{
	DualPovState &state = dualPovState();
	stopDualAnimation();
	state.animValue = 1.0;
	povFlags().dualShown = false;
	state.dualMadeWay = false;
	state.dualScene = nullptr;
	hideDualWindowsInAllScenes();
	removeDualOpacityFilters();
}

void shutdownDualPov()
{
	DualPovState &state = dualPovState();
	delete state.animTimer;
	state.animTimer = nullptr;
	state.animDirection = 0;
	state.dualScene = nullptr;
}

void startDualAnimation(int direction, int delayMs)
{
	DualPovState &state = dualPovState();
	if (!state.animTimer) {
		state.animTimer = new QTimer();
		state.animTimer->setTimerType(Qt::PreciseTimer);
		state.animTimer->setInterval(animIntervalMs);
		QObject::connect(state.animTimer, &QTimer::timeout,
				 dualAnimationTick);
	}
	state.animDirection = direction;
	state.animFrom = state.animValue;
	state.animDelayMs = std::max(delayMs, 0);
	state.animClock.restart();
	state.animTimer->start();
}

void stopDualAnimation()
{
	DualPovState &state = dualPovState();
	if (state.animTimer)
		state.animTimer->stop();
	state.animDirection = 0;
}

void dualAnimationTick()
{
	DualPovState &state = dualPovState();
	if (state.animDirection == 0)
		return;
	const qint64 elapsed = state.animClock.elapsed() - state.animDelayMs;
	if (elapsed < 0)
		return; // waiting: nothing moves, hidden windows stay hidden
	const double length = state.animDirection > 0 ? popInMs : popOutMs;
	moveDualAnimation(std::min(double(elapsed) / length, 1.0));
}

void finishDualAnimation()
{
	if (dualPovState().animDirection != 0)
		moveDualAnimation(1.0);
}

void clearDualLeftovers()
{
	if (!povFlags().dualShown && dualPovState().animDirection == 0)
		resetDualPov();
}
