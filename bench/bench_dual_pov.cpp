// UI-thread cost of the dual POV on a large scene collection: 100 scenes of
// 20 items each, the window in one of them. Prints figures; nothing here
// passes or fails on time. Needs libOBS started, so an X display (Xvfb).
//
//   tick       one frame of the pop-in animation (dualAnimationTick): the
//              source looked up by name, the windows of the scene listed
//              afresh, the window placed.
//   last tick  the last frame of a pop-out, which tears the window down:
//              every window of every scene hidden, the filter removed.
//   in place   "dual.show" for the source and scene already shown, at rest:
//              mute, opacity, crop search, window lookup, placement.
//
// Run: cmake --build <build> --target bench_dual_pov, then
//      xvfb-run -a <build>/bench/bench_dual_pov

#include <obs-module.h>
#include <obs.hpp>
#include <util/base.h>

#include <QCoreApplication>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "frontend_double.h"
#include "pov/dual_pov.h"
#include "pov/pov_flags.h"
#include "test_kinds.h"

namespace {
const int sceneCount = 100;
const int itemsPerScene = 20;
const int sourceCount = 60;
const int samples = 2000;

long droppedLogLines = 0;

void countLogLine(int, const char *, va_list, void *)
{
	droppedLogLines++;
}

using Clock = std::chrono::steady_clock;

struct Figures {
	double min, median, p99, max;
};

// Times `run` once per sample, after `prepare` (not timed); microseconds.
Figures timeEach(const std::function<void()> &prepare,
		 const std::function<void()> &run)
{
	std::vector<double> us;
	us.reserve(samples);
	for (int i = 0; i < samples; i++) {
		prepare();
		const auto start = Clock::now();
		run();
		const auto end = Clock::now();
		us.push_back(
			std::chrono::duration<double, std::micro>(end - start)
				.count());
	}
	std::sort(us.begin(), us.end());
	return {us.front(), us[us.size() / 2], us[us.size() * 99 / 100],
		us.back()};
}

void printRow(const char *name, const Figures &f)
{
	printf("%-34s %9.1f %9.1f %9.1f %9.1f\n", name, f.min, f.median, f.p99,
	       f.max);
}

// 100 front-end scenes of 20 items; every scene holds the feeds "Cam A"
// and "Cam B" (the user's full-screen items) and 18 others.
std::vector<OBSSourceAutoRelease> buildCollection()
{
	std::vector<OBSSourceAutoRelease> sources;
	for (int i = 0; i < sourceCount; i++) {
		const std::string name =
			i == 0   ? "Cam A"
			: i == 1 ? "Cam B"
				 : "Source " + std::to_string(i);
		sources.emplace_back(obs_source_create(
			TEST_FEED_KIND, name.c_str(), nullptr, nullptr));
	}
	for (int s = 0; s < sceneCount; s++) {
		const std::string name = "Scene " + std::to_string(s);
		obs_scene_t *scene =
			obs_scene_from_source(frontend::addScene(name.c_str()));
		for (int i = 0; i < itemsPerScene; i++) {
			obs_source_t *source =
				i < 2 ? sources[size_t(i)].Get()
				      : sources[size_t(2 +
						       (s * 7 +
							i) % (sourceCount - 2))]
						.Get();
			obs_sceneitem_t *item = obs_scene_add(scene, source);
			obs_sceneitem_set_visible(item, i >= 2);
		}
	}
	frontend::setProgramScene(nullptr);
	return sources;
}

// Ends the running animation on the next tick.
void finishOnNextTick()
{
	dualPovState().animDelayMs = -100000;
}

void show(double opacity)
{
	QJsonObject data;
	showDual(0, 0.012, 0.19, 0.26, opacity, data);
}

void restingWindow(double opacity)
{
	show(opacity);
	if (dualPovState().animDirection != 0) {
		finishOnNextTick();
		dualAnimationTick();
	}
}

bool countSource(void *param, obs_source_t *)
{
	(*static_cast<size_t *>(param))++;
	return true;
}

void noTask(void *) {}

// Sources go on libobs's destroy thread: let it finish before shutdown,
// which would otherwise destroy a source it is still releasing.
void drainDestroyQueue()
{
	size_t previous = SIZE_MAX;
	for (int round = 0; round < 100; round++) {
		obs_queue_task(OBS_TASK_DESTROY, noTask, nullptr, true);
		obs_wait_for_destroy_queue();
		size_t count = 0;
		obs_enum_all_sources(countSource, &count);
		if (count >= previous)
			break;
		previous = count;
	}
}

void runBenchmarks()
{
	std::vector<OBSSourceAutoRelease> sources = buildCollection();
	frontend::setProgramScene(nullptr);
	// The program scene sits in the middle of the list.
	OBSSourceAutoRelease program = obs_get_source_by_name("Scene 50");
	frontend::setProgramScene(program);
	linkConfig().povSources = {"Cam A", "Cam B"};

	printf("dual POV, %d scenes of %d items, %d samples each (us):\n",
	       sceneCount, itemsPerScene, samples);
	printf("%-34s %9s %9s %9s %9s\n", "case", "min", "median", "p99",
	       "max");

	for (double opacity : {1.0, 0.5}) {
		const bool faded = opacity < 1.0;
		restingWindow(opacity);

		// Frames of a pop-in that never ends within the samples.
		printRow(faded ? "tick (pop-in), opacity 0.5" : "tick (pop-in)",
			 timeEach([] { startDualAnimation(1, 0); },
				  dualAnimationTick));

		printRow(faded ? "last tick of a pop-out, opacity 0.5"
			       : "last tick of a pop-out",
			 timeEach(
				 [opacity] {
					 restingWindow(opacity);
					 hideDual();
					 finishOnNextTick();
				 },
				 dualAnimationTick));

		restingWindow(opacity);
		printRow(faded ? "dual.show in place, opacity 0.5"
			       : "dual.show in place",
			 timeEach([] {}, [opacity] { show(opacity); }));
		hideDual();
		finishOnNextTick();
		dualAnimationTick();
	}
	printf("    (log lines while timing, not printed: %ld)\n",
	       droppedLogLines);

	shutdownDualPov();
	resetDualPov();
	shutdownDualPov();
	frontend::reset();
	linkConfig() = LinkConfig();
}
}

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	base_set_log_handler(countLogLine, nullptr);

	if (!obs_startup("en-US", nullptr, nullptr)) {
		printf("skipped: obs_startup failed (it needs an X display, "
		       "e.g. Xvfb)\n");
		return 0;
	}
	registerTestKinds(true);
	runBenchmarks();
	drainDestroyQueue();
	obs_shutdown();
	return 0;
}
