#include "pov/squad_pov.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <functional>
#include <vector>

#include "config/link_config.h"
#include "common/link_log.h"
#include "obs/scene_lookup.h"
#include "pov/dual_pov.h"
#include "obs/frontend_scenes.h"
#include "pov/pov_flags.h"

namespace {
QPointer<QObject> &stepContext()
{
	static QPointer<QObject> context;
	return context;
}

// A single-shot timer owned by the step context: deleting the context
// deletes the timer and its step with it, so nothing of the module's code
// stays queued.
void runLater(int ms, std::function<void()> step)
{
	startPov();
	auto *timer = new QTimer(stepContext());
	timer->setSingleShot(true);
	timer->setTimerType(Qt::PreciseTimer);
	QObject::connect(timer, &QTimer::timeout, timer,
			 [timer, step = std::move(step)]() {
				 timer->deleteLater();
				 step();
			 });
	timer->start(ms);
}

void setShownIn(obs_scene_t *scene, const std::string &name, bool shown)
{
	for (const SceneItemRef &item : sceneItems(scene))
		if (itemSourceName(item) == name && !isDualPovWindow(item))
			obs_sceneitem_set_visible(item, shown);
}

void showStep(const std::string &name, uint32_t generation)
{
	SquadPovState &state = squadPovState();
	if (generation != state.povGeneration)
		return;
	dualMakeWay();
	// A copy: the list may not change under the walk, but stay safe.
	const std::vector<std::string> sources = linkConfig().povSources;
	for (const std::string &listed : sources)
		setPovSourceShown(listed, listed == name);
	povFlags().povShown = true;
	state.povShownAtMs = QDateTime::currentMSecsSinceEpoch();
	linkLog(LOG_INFO, "POV: showing %s", name.c_str());
}

void hideStep(uint32_t generation, int backDelayMs)
{
	if (generation != squadPovState().povGeneration)
		return;
	const std::vector<std::string> sources = linkConfig().povSources;
	for (const std::string &listed : sources)
		setPovSourceShown(listed, false);
	povFlags().povShown = false;
	linkLog(LOG_INFO, "POV: back to your own view");
	dualReturnAfterSwap(backDelayMs);
}
}

SquadPovState &squadPovState()
{
	static SquadPovState state;
	return state;
}

void startPov()
{
	if (!stepContext())
		stepContext() = new QObject();
}

void stopPov()
{
	delete stepContext().data();
	stepContext() = nullptr;
}

QString showPov(int slot, int delayMs)
{
	const std::vector<std::string> &sources = linkConfig().povSources;
	if (sources.empty())
		return QStringLiteral(
			"no squad POV sources chosen (Tools > Tessil Link)");

	const int position = std::clamp(slot, 0, int(sources.size()) - 1);
	const std::string name = sources[size_t(position)];
	const uint32_t generation = ++squadPovState().povGeneration;
	runLater(std::max(delayMs, 0),
		 [name, generation]() { showStep(name, generation); });
	return QString();
}

void hidePov(int delayMs, int minShownMs)
{
	const uint32_t generation = ++squadPovState().povGeneration;
	const PovHideTiming timing =
		povHideTiming(delayMs, minShownMs, squadPovState().povShownAtMs,
			      QDateTime::currentMSecsSinceEpoch());
	const int backDelayMs = timing.backDelayMs;
	runLater(timing.waitMs, [generation, backDelayMs]() {
		hideStep(generation, backDelayMs);
	});
}

PovHideTiming povHideTiming(int delayMs, int minShownMs, int64_t shownAtMs,
			    int64_t nowMs)
{
	const int64_t remaining =
		std::max<int64_t>(int64_t(minShownMs) + shownAtMs - nowMs, 0);
	const int64_t wait = std::max<int64_t>(delayMs, remaining);
	return {int(std::min<int64_t>(wait, INT_MAX)), delayMs > 0 ? 500 : 0};
}

void setPovSourceShown(const std::string &name, bool shown)
{
	{
		FrontendScenes scenes;
		for (size_t i = 0; i < scenes.size(); i++)
			setShownIn(obs_scene_from_source(scenes[i]), name,
				   shown);
	}
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	OBSSourceAutoRelease duplicate = programDuplicate(current);
	if (duplicate)
		setShownIn(obs_scene_from_source(duplicate), name, shown);

	OBSSourceAutoRelease source = obs_get_source_by_name(name.c_str());
	if (source)
		obs_source_set_muted(source, !shown);
}
