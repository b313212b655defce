#include "pov_fixture.h"

#include <QDateTime>
#include <QElapsedTimer>

namespace {
// Scenes "Main" (on program) and "Side", each with the own view and a
// hidden item of both feeds; in Main also a group holding Cam A and a dual
// POV window of Cam A.
class SquadPovTest : public PovTest {
protected:
	void SetUp() override
	{
		PovTest::SetUp();
		if (HasFatalFailure())
			return;
		main = frontScene("Main");
		side = frontScene("Side");
		for (obs_scene_t *scene : {main, side}) {
			add(scene, "Game");
			add(scene, "Cam A", false);
			add(scene, "Cam B", false);
		}
		group = addGroup(main, "Feeds", {"Cam A"}, false);
		window = addWindow(main, "Cam A", false);
		setPovSources({"Cam A", "Cam B"});
	}

	// The top-level user items of `name` in the given scene.
	static std::vector<bool> shown(obs_scene_t *scene,
				       const std::string &name)
	{
		std::vector<bool> out;
		for (const SceneItemRef &item : sceneItems(scene))
			if (itemSourceName(item) == name &&
			    !isDualPovWindow(item))
				out.push_back(obs_sceneitem_visible(item));
		return out;
	}

	// Cam A or Cam B (or neither: "") visible full-screen everywhere and
	// unmuted, the other one hidden and muted.
	void expectShowing(const std::string &name)
	{
		for (const char *feedName : {"Cam A", "Cam B"}) {
			SCOPED_TRACE(feedName);
			const bool on = name == feedName;
			EXPECT_EQ(shown(main, feedName), std::vector<bool>{on});
			EXPECT_EQ(shown(side, feedName), std::vector<bool>{on});
			EXPECT_EQ(obs_source_muted(feed(feedName)), !on);
		}
		EXPECT_EQ(povFlags().povShown, !name.empty());
	}

	static int logCount(const std::string &message)
	{
		return countLogLines(LOG_INFO, logged(message));
	}

	obs_scene_t *main = nullptr;
	obs_scene_t *side = nullptr;
	obs_sceneitem_t *group = nullptr;
	obs_sceneitem_t *window = nullptr;
};
}

TEST_F(SquadPovTest, SlotIsClampedToTheList)
{
	const struct {
		int slot;
		const char *expected;
	} cases[] = {{-3, "Cam A"}, {0, "Cam A"},  {1, "Cam B"},
		     {7, "Cam B"},  {-1, "Cam A"}, {2, "Cam B"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.slot);
		clearCapturedLog();
		EXPECT_EQ(showPov(c.slot, 0), "");
		EXPECT_TRUE(moduleLog().empty()); // the step runs later
		ASSERT_TRUE(
			waitForLog(std::string("POV: showing ") + c.expected));
		expectShowing(c.expected);
	}
}

TEST_F(SquadPovTest, ShowAndHideChangeEveryScene)
{
	obs_scene_t *copy = studioCopy(main);
	// The copy of the window is the copy's top item; mark it, as the
	// module marks the windows it adds to a program copy.
	obs_sceneitem_t *copyWindow = sceneItems(copy).back();
	{
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(copyWindow);
		obs_data_set_bool(settings, DUAL_POV_MARKER, true);
	}
	obs_sceneitem_t *child = groupChild(group, 0);
	ASSERT_EQ(showPov(0, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Cam A"));
	expectShowing("Cam A");
	EXPECT_EQ(shown(copy, "Cam A"), std::vector<bool>{true});
	EXPECT_EQ(shown(copy, "Cam B"), std::vector<bool>{false});
	// Never inside groups, never the dual POV window.
	EXPECT_FALSE(obs_sceneitem_visible(child));
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(obs_sceneitem_visible(copyWindow));
	const int64_t shownAt = squadPovState().povShownAtMs;
	EXPECT_LE(QDateTime::currentMSecsSinceEpoch() - shownAt, 1000);

	obs_sceneitem_set_visible(child, true);
	obs_sceneitem_set_visible(window, true);
	obs_sceneitem_set_visible(copyWindow, true);
	hidePov(0, 0);
	ASSERT_TRUE(waitForLog("POV: back to your own view"));
	expectShowing("");
	EXPECT_EQ(shown(copy, "Cam A"), std::vector<bool>{false});
	EXPECT_TRUE(obs_sceneitem_visible(child));
	EXPECT_TRUE(obs_sceneitem_visible(window));
	EXPECT_TRUE(obs_sceneitem_visible(copyWindow));
	EXPECT_EQ(squadPovState().povShownAtMs, shownAt);
}

TEST_F(SquadPovTest, OnlyTheLatestRequestActs)
{
	struct Case {
		const char *what;
		std::vector<std::function<void()>> requests;
		const char *finallyShowing;
		std::vector<std::pair<const char *, int>> logLines;
	};
	const std::vector<Case> cases = {
		{"a later show supersedes a delayed one",
		 {[] { showPov(0, 300); },
		  [] {
			  showPov(1, 0);
		  }},
		 "Cam B",
		 {{"POV: showing Cam A", 0}, {"POV: showing Cam B", 1}}},
		{"a hide before the show step fired",
		 {[] { showPov(1, 300); },
		  [] {
			  hidePov(0, 0);
		  }},
		 "",
		 {{"POV: showing Cam B", 0},
		  {"POV: back to your own view", 1}}},
		{"a show supersedes a delayed hide",
		 {[] { hidePov(300, 0); },
		  [] {
			  showPov(0, 0);
		  }},
		 "Cam A",
		 {{"POV: showing Cam A", 1},
		  {"POV: back to your own view", 0}}},
		{"a rejected show supersedes nothing",
		 {[] { hidePov(100, 0); },
		  [] {
			  setPovSources({});
			  EXPECT_EQ(
				  showPov(0, 0),
				  "no squad POV sources chosen (Tools > Tessil Link)");
			  setPovSources({"Cam A", "Cam B"});
		  }},
		 "",
		 {{"POV: back to your own view", 1}}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		// Start from Cam A shown, every step done.
		showPov(0, 0);
		ASSERT_TRUE(waitUntil([] { return povFlags().povShown; }));
		pumpEvents(20);
		clearCapturedLog();

		for (const auto &request : c.requests)
			request();
		pumpEvents(500);
		expectShowing(c.finallyShowing);
		for (const auto &line : c.logLines)
			EXPECT_EQ(logCount(line.first), line.second)
				<< line.first;
	}
}

TEST_F(SquadPovTest, EmptyListIsAnErrorAndLeavesAPendingHideValid)
{
	showPov(1, 0);
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	const uint32_t generation = squadPovState().povGeneration;
	hidePov(200, 0);

	setPovSources({});
	EXPECT_EQ(showPov(0, 0),
		  "no squad POV sources chosen (Tools > Tessil Link)");
	EXPECT_EQ(squadPovState().povGeneration, generation + 1);
	EXPECT_TRUE(povFlags().povShown);

	ASSERT_TRUE(waitForLog("POV: back to your own view"));
	EXPECT_FALSE(povFlags().povShown);
	// The list is read when the step runs: empty now, nothing hidden.
	EXPECT_EQ(shown(main, "Cam B"), std::vector<bool>{true});
}

TEST(SquadPovTiming, HideWaitAndBackDelay)
{
	const int64_t now = 1700000000000;
	const struct {
		const char *what;
		int delayMs, minShownMs;
		int64_t shownAt;
		int wait, back;
	} cases[] = {
		{"nothing asked", 0, 0, now - 100, 0, 0},
		{"min shown 5 s, shown 2 s ago", 0, 5000, now - 2000, 3000, 0},
		{"min shown already over", 0, 5000, now - 9000, 0, 0},
		{"never shown", 0, 5000, 0, 0, 0},
		{"delay 200", 200, 0, now - 100, 200, 500},
		{"delay 200, min shown longer", 200, 5000, now - 2000, 3000,
		 500},
		{"delay longer than min shown", 4000, 5000, now - 2000, 4000,
		 500},
		{"negative delay counts as 0", -50, 0, now, 0, 0},
		{"negative min shown", 0, -5000, now, 0, 0},
		{"show step in the future", 0, 1000, now + 5000, 6000, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const PovHideTiming timing =
			povHideTiming(c.delayMs, c.minShownMs, c.shownAt, now);
		EXPECT_EQ(timing.waitMs, c.wait);
		EXPECT_EQ(timing.backDelayMs, c.back);
	}
}

TEST_F(SquadPovTest, MinimumShownTimeCountsFromTheShowStep)
{
	// Requested with a delay, so the show step runs 150 ms after it.
	showPov(0, 150);
	pumpEvents(50);
	EXPECT_FALSE(povFlags().povShown);
	ASSERT_TRUE(waitForLog("POV: showing Cam A"));
	const int64_t shownAt = squadPovState().povShownAtMs;
	pumpEvents(200);

	hidePov(0, 600);
	pumpEvents(100);
	EXPECT_TRUE(povFlags().povShown);
	ASSERT_TRUE(waitForLog("POV: back to your own view"));
	EXPECT_GE(QDateTime::currentMSecsSinceEpoch() - shownAt, 600);
	expectShowing("");
}

TEST_F(SquadPovTest, HideHandsTheBackDelayToTheDualPov)
{
	for (int delayMs : {0, 200}) {
		SCOPED_TRACE(delayMs);
		resetDualPov();
		showPov(0, 0);
		ASSERT_TRUE(waitUntil([] { return povFlags().povShown; }));
		QJsonObject data;
		ASSERT_EQ(showDual(1, 0.012, 0.19, 0.26, 1.0, data), "");
		ASSERT_TRUE(dualPovState().dualMadeWay);
		clearCapturedLog();

		hidePov(delayMs, 0);
		ASSERT_TRUE(waitForLog("POV: back to your own view"));
		EXPECT_EQ(logCount("dual POV: back after the full-screen swap"),
			  1);
		EXPECT_EQ(dualPovState().animDirection, 1);
		EXPECT_EQ(dualPovState().animDelayMs, delayMs > 0 ? 500 : 0);
		ASSERT_TRUE(animationIdle());
	}
}

TEST_F(SquadPovTest, ChosenSourceThatDoesNotExist)
{
	showPov(1, 0);
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	setPovSources({"Cam A", "Ghost"});
	EXPECT_EQ(showPov(1, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Ghost"));
	EXPECT_TRUE(povFlags().povShown);
	EXPECT_EQ(shown(main, "Cam A"), std::vector<bool>{false});
	EXPECT_TRUE(obs_source_muted(feed("Cam A")));
	// No longer listed: left as it was.
	EXPECT_EQ(shown(main, "Cam B"), std::vector<bool>{true});
	EXPECT_FALSE(obs_source_muted(feed("Cam B")));
}

TEST_F(SquadPovTest, StopCancelsPendingSteps)
{
	for (int delayMs : {0, 100}) {
		SCOPED_TRACE(delayMs);
		clearCapturedLog();
		EXPECT_EQ(showPov(0, delayMs), "");
		stopPov();
		pumpEvents(delayMs + 150);
		EXPECT_TRUE(moduleLog().empty());
		EXPECT_FALSE(povFlags().povShown);

		startPov();
		showPov(0, 0);
		ASSERT_TRUE(waitForLog("POV: showing Cam A"));
		hidePov(delayMs, 0);
		stopPov();
		pumpEvents(delayMs + 150);
		EXPECT_EQ(logCount("POV: back to your own view"), 0);
		EXPECT_TRUE(povFlags().povShown);

		// Showing again after stop works: the step owner comes back.
		startPov();
		hidePov(0, 0);
		ASSERT_TRUE(waitForLog("POV: back to your own view"));
	}
}
