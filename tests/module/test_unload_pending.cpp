// Unloading with every kind of deferred work pending: squad POV steps, the
// dual POV's pop-in, the coalesced "scenes.changed", and work posted from
// other threads (a rename, a hotkey press). After unload none of it may run:
// in OBS the module's code may be gone by then.

#include <gtest/gtest.h>

#include <obs.hpp>

#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <string>
#include <thread>
#include <vector>

#include "frontend_double.h"
#include "loaded_module.h"
#include "log_capture.h"
#include "module/hotkeys.h"
#include "module/module_state.h"
#include "pov/dual_pov.h"
#include "pov/dual_window.h"
#include "pov/pov_flags.h"
#include "pov/sceneitem_compat.h"
#include "test_kinds.h"
#include "wait.h"

namespace {
struct PendingCase {
	const char *name;
	// The squad POV request that comes second supersedes the first, so
	// only its step would act: the hide (delay 300) or the show (200).
	bool showLast;
	// false: the same work left to run, showing that it was pending.
	bool unload;
};

// What the deferred work would change.
struct Observed {
	bool camAVisible;
	bool camBVisible;
	bool camAMuted;
	bool camBMuted;
	bool povShown;
	bool windowVisible;
	float windowX;
	float windowWidth;

	bool operator==(const Observed &o) const
	{
		return camAVisible == o.camAVisible &&
		       camBVisible == o.camBVisible &&
		       camAMuted == o.camAMuted && camBMuted == o.camBMuted &&
		       povShown == o.povShown &&
		       windowVisible == o.windowVisible &&
		       windowX == o.windowX && windowWidth == o.windowWidth;
	}
	bool operator!=(const Observed &o) const { return !(*this == o); }
};

void PrintTo(const Observed &o, std::ostream *os)
{
	*os << "{Cam A " << (o.camAVisible ? "shown" : "hidden")
	    << (o.camAMuted ? " muted" : "") << ", Cam B "
	    << (o.camBVisible ? "shown" : "hidden")
	    << (o.camBMuted ? " muted" : "") << ", povShown " << o.povShown
	    << ", window " << (o.windowVisible ? "shown" : "hidden") << " x "
	    << o.windowX << " w " << o.windowWidth << "}";
}

class UnloadPending : public LoadedModule,
		      public ::testing::WithParamInterface<PendingCase> {
protected:
	void SetUp() override
	{
		LoadedModule::SetUp();
		if (HasFatalFailure())
			return;
		ASSERT_TRUE(startVideoForSceneItems());
	}

	void TearDown() override
	{
		sources.clear();
		LoadedModule::TearDown();
	}

	obs_source_t *feed(const char *name)
	{
		sources.emplace_back(obs_source_create(TEST_FEED_KIND, name,
						       nullptr, nullptr));
		return sources.back();
	}

	Observed observe()
	{
		const SceneItemList windows = findDualWindows(main, "Cam B");
		obs_transform_info window = {};
		if (!windows.empty())
			getItemTransform(windows.front(), &window);
		return {obs_sceneitem_visible(camA),
			obs_sceneitem_visible(camB),
			obs_source_muted(obs_sceneitem_get_source(camA)),
			obs_source_muted(obs_sceneitem_get_source(camB)),
			povFlags().povShown,
			!windows.empty() &&
				obs_sceneitem_visible(windows.front()),
			window.pos.x,
			window.bounds.x};
	}

	static std::vector<std::string> moduleLines()
	{
		std::vector<std::string> found;
		for (const LogLine &line : capturedLog())
			if (line.text.rfind("[tessil-link] ", 0) == 0)
				found.push_back(line.text);
		return found;
	}

	static QList<QJsonObject> events(const QList<QJsonObject> &messages)
	{
		QList<QJsonObject> found;
		for (const QJsonObject &message : messages)
			if (message.value("op") == "event")
				found.append(message);
		return found;
	}

	std::vector<OBSSourceAutoRelease> sources;
	obs_scene_t *main = nullptr;
	obs_sceneitem_t *camA = nullptr;
	obs_sceneitem_t *camB = nullptr;
};

const PendingCase pendingCases[] = {
	{"HideStepPending", false, true},
	{"ShowStepPending", true, true},
	{"HideStepPendingWithoutUnload", false, false},
	{"ShowStepPendingWithoutUnload", true, false},
};
}

TEST_P(UnloadPending, NothingRunsAfterUnload)
{
	const PendingCase &c = GetParam();
	main = obs_scene_from_source(frontend::addScene("Main"));
	obs_sceneitem_set_visible(obs_scene_add(main, feed("Game")), true);
	camA = obs_scene_add(main, feed("Cam A"));
	camB = obs_scene_add(main, feed("Cam B"));
	obs_sceneitem_set_visible(camA, false);
	obs_sceneitem_set_visible(camB, false);
	obs_source_t *mic = feed("Mic");
	load({{"povSources", QJsonArray{QJsonObject{{"name", "Cam A"}},
					QJsonObject{{"name", "Cam B"}}}}});
	WsClient linked;
	ASSERT_TRUE(linked.openAndLink(port, "tok"));

	// The dual POV window of Cam B popping in.
	ASSERT_EQ(linked.request("dual.show", {{"slot", 1}}).value("ok"), true);
	ASSERT_EQ(dualPovState().animDirection, 1);
	ASSERT_TRUE(dualPovState().animTimer &&
		    dualPovState().animTimer->isActive());

	// Two squad POV steps on their timers; the second request's acts.
	const QJsonObject show{{"slot", 0}, {"delayMs", 200}};
	const QJsonObject hide{{"delayMs", 300}};
	if (c.showLast) {
		ASSERT_EQ(linked.request("pov.hide", hide).value("ok"), true);
		ASSERT_EQ(linked.request("pov.show", show).value("ok"), true);
	} else {
		ASSERT_EQ(linked.request("pov.show", show).value("ok"), true);
		ASSERT_EQ(linked.request("pov.hide", hide).value("ok"), true);
	}
	linked.messages.clear();

	// "scenes.changed" waiting on its 250 ms timer, then work posted from
	// other threads: a rename (libobs may raise it on any thread) and a
	// hotkey press (as libobs's hotkey thread or another plug-in would).
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED);
	std::thread([mic] { obs_source_set_name(mic, "Mic 2"); }).join();
	static char clip[] = "clip";
	const obs_hotkey_id clipId = moduleState().hotkeyIds[HotkeyClip];
	std::thread([clipId] { onHotkey(clip, clipId, nullptr, true); }).join();

	// Nothing of it has run yet: no event loop turned since.
	const Observed atUnload = observe();
	if (c.unload) {
		unload();
		EXPECT_EQ(dualPovState().animTimer, nullptr);
	}
	clearCapturedLog();
	pumpEvents(600);

	if (c.unload) {
		EXPECT_EQ(observe(), atUnload);
		EXPECT_EQ(moduleLines(), std::vector<std::string>{});
		EXPECT_TRUE(linked.waitDisconnected());
		EXPECT_EQ(events(linked.messages), QList<QJsonObject>{});
		return;
	}

	// Left to run: every piece of the work shows.
	EXPECT_NE(observe(), atUnload);
	const int showLines =
		countLogLines(LOG_INFO, "[tessil-link] POV: showing Cam A");
	const int backLines = countLogLines(
		LOG_INFO, "[tessil-link] POV: back to your own view");
	EXPECT_EQ(showLines, c.showLast ? 1 : 0);
	EXPECT_EQ(backLines, c.showLast ? 0 : 1);
	EXPECT_EQ(povFlags().povShown, c.showLast);
	const QList<QJsonObject> sent = events(linked.messages);
	EXPECT_TRUE(sent.contains(
		QJsonObject{{"op", "event"}, {"event", "scenes.changed"}}));
	EXPECT_TRUE(sent.contains(QJsonObject{{"op", "event"},
					      {"event", "hotkey"},
					      {"action", "clip"}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, UnloadPending,
			 ::testing::ValuesIn(pendingCases),
			 [](const ::testing::TestParamInfo<PendingCase> &info) {
				 return std::string(info.param.name);
			 });
