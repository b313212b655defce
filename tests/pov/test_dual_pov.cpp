#include "pov_fixture.h"

#include <QJsonDocument>
#include <QTimer>

#include <cmath>
#include <limits>

namespace {
const DualLayout defaultLayout;

class DualPovTest : public PovTest {
protected:
	void SetUp() override
	{
		PovTest::SetUp();
		if (HasFatalFailure())
			return;
		main = frontScene("Main");
		add(main, "Game");
		add(main, "Cam A", false);
		add(main, "Cam B", false);
		setPovSources({"Cam A", "Cam B"});
	}

	static QString show(int slot = 0, double opacity = 1.0,
			    const DualLayout &layout = defaultLayout)
	{
		QJsonObject data;
		return showDual(slot, layout.x, layout.y, layout.w, opacity,
				data);
	}

	// The window at rest: visible, at scale 1 of `layout`.
	void expectResting(obs_sceneitem_t *window,
			   const DualLayout &layout = defaultLayout)
	{
		ASSERT_NE(window, nullptr);
		EXPECT_TRUE(obs_sceneitem_visible(window));
		const WindowBox box =
			dualWindowBox(1920, 1080, {}, 1920, 1080, layout, 1.0);
		const obs_transform_info info = transformOf(window);
		EXPECT_FLOAT_EQ(info.pos.x, libobsHost::keptPosition(box.x));
		EXPECT_FLOAT_EQ(info.pos.y, libobsHost::keptPosition(box.y));
		EXPECT_FLOAT_EQ(info.bounds.x,
				libobsHost::keptPosition(box.width));
		EXPECT_FLOAT_EQ(info.bounds.y,
				libobsHost::keptPosition(box.height));
	}

	static bool timerRunning()
	{
		return dualPovState().animTimer &&
		       dualPovState().animTimer->isActive();
	}

	static int logCount(const std::string &message)
	{
		return countLogLines(LOG_INFO, logged(message));
	}

	// Shows slot 0 and waits until its pop-in has finished.
	void showResting(double opacity = 1.0)
	{
		ASSERT_EQ(show(0, opacity), "");
		ASSERT_TRUE(animationIdle());
		expectResting(windowOf(main, "Cam A"));
	}

	obs_scene_t *main = nullptr;
};
}

TEST_F(DualPovTest, ShowPopsTheWindowInAtTheDefaultLayout)
{
	QJsonObject data;
	EXPECT_EQ(showDual(0, 0.012, 0.19, 0.26, 1.0, data), "");
	EXPECT_EQ(data,
		  QJsonObject(
			  {{"source", "Cam A"}, {"slot", 0}, {"shown", true}}));
	EXPECT_TRUE(povFlags().dualShown);
	EXPECT_EQ(logCount("dual POV: Cam A in the small window"), 1);
	EXPECT_TRUE(obs_source_muted(feed("Cam A")));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));

	// Added hidden at the smallest scale; the animation reveals it.
	obs_sceneitem_t *window = windowOf(main, "Cam A");
	ASSERT_NE(window, nullptr);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_EQ(transformOf(window).bounds.x, 1.0f);
	EXPECT_EQ(dualPovState().animDirection, 1);
	EXPECT_TRUE(timerRunning());

	// The pop overshoots to about 1.08 of the resting width, then settles.
	const float rest =
		dualWindowBox(1920, 1080, {}, 1920, 1080, defaultLayout, 1.0)
			.width;
	float widest = 0.0f;
	ASSERT_TRUE(waitUntil([&] {
		widest = std::max(widest, transformOf(window).bounds.x);
		return dualPovState().animDirection == 0;
	}));
	EXPECT_GT(widest, rest * 1.06f);
	EXPECT_LE(widest, rest * 1.0801f);
	expectResting(window);
	EXPECT_EQ(dualPovState().animValue, 1.0);
	EXPECT_FALSE(timerRunning());
	// Only the window: the user's own item stays hidden.
	EXPECT_FALSE(obs_sceneitem_visible(findItemsByName(main, "Cam A")[0]));
}

TEST_F(DualPovTest, ArgumentsAreClamped)
{
	const double nan = std::numeric_limits<double>::quiet_NaN();
	struct Case {
		const char *what;
		DualLayout given;
		DualLayout expected;
		double filter; // -1: no filter
	};
	const std::vector<Case> cases = {
		{"defaults",
		 {0.012, 0.19, 0.26, 1.0},
		 {0.012, 0.19, 0.26, 1.0},
		 -1.0},
		{"x below 0",
		 {-0.5, 0.19, 0.26, 1.0},
		 {0.0, 0.19, 0.26, 1.0},
		 -1.0},
		{"y above 1",
		 {0.012, 2.0, 0.26, 1.0},
		 {0.012, 1.0, 0.26, 1.0},
		 -1.0},
		{"w below 0.02",
		 {0.012, 0.19, 0.001, 1.0},
		 {0.012, 0.19, 0.02, 1.0},
		 -1.0},
		{"w above 1",
		 {0.012, 0.19, 3.0, 1.0},
		 {0.012, 0.19, 1.0, 1.0},
		 -1.0},
		{"opacity 0",
		 {0.012, 0.19, 0.26, 0.0},
		 {0.012, 0.19, 0.26, 0.1},
		 0.1},
		{"opacity 2",
		 {0.012, 0.19, 0.26, 2.0},
		 {0.012, 0.19, 0.26, 1.0},
		 -1.0},
		{"opacity 0.5",
		 {0.012, 0.19, 0.26, 0.5},
		 {0.012, 0.19, 0.26, 0.5},
		 0.5},
		{"not a number",
		 {nan, nan, nan, nan},
		 {0.0, 0.0, 0.02, 0.1},
		 0.1},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(show(0, c.given.opacity, c.given), "");
		const DualLayout &layout = dualPovState().layout;
		EXPECT_EQ(layout.x, c.expected.x);
		EXPECT_EQ(layout.y, c.expected.y);
		EXPECT_EQ(layout.w, c.expected.w);
		EXPECT_EQ(layout.opacity, c.expected.opacity);
		EXPECT_DOUBLE_EQ(filterOpacity(feed("Cam A")), c.filter);
	}
}

TEST_F(DualPovTest, SlotIsClampedAndFailuresChangeNothing)
{
	feed("Cam C");
	struct Case {
		const char *what;
		std::vector<std::string> list;
		int slot;
		bool program;
		QString error;
		QJsonObject data;
	};
	const std::vector<Case> cases = {
		{"slot 9 of three",
		 {"Cam A", "Cam B", "Cam C"},
		 9,
		 true,
		 "",
		 {{"source", "Cam C"}, {"slot", 2}, {"shown", true}}},
		{"slot -3",
		 {"Cam A", "Cam B"},
		 -3,
		 true,
		 "",
		 {{"source", "Cam A"}, {"slot", 0}, {"shown", true}}},
		{"empty list",
		 {},
		 0,
		 true,
		 "no squad POV sources chosen (Tools > Tessil Link)",
		 {}},
		{"missing source",
		 {"Cam A", "Cam X"},
		 1,
		 true,
		 "no source named Cam X (squad POV slot 1)",
		 {}},
		{"missing source, clamped slot",
		 {"Cam A", "Cam B", "Cam Z"},
		 9,
		 true,
		 "no source named Cam Z (squad POV slot 2)",
		 {}},
		{"no current scene", {"Cam A"}, 0, false, "no current scene", {}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		resetDualPov();
		dualPovState().dualSource = "before";
		setPovSources(c.list);
		frontend::setProgramScene(c.program ? obs_scene_get_source(main)
						    : nullptr);
		clearCapturedLog();

		QJsonObject data;
		EXPECT_EQ(showDual(c.slot, 0.012, 0.19, 0.26, 1.0, data),
			  c.error);
		EXPECT_EQ(data, c.data);
		if (c.error.isEmpty())
			continue;
		EXPECT_FALSE(povFlags().dualShown);
		EXPECT_EQ(dualPovState().dualSource, "before");
		OBSSourceAutoRelease scene =
			obs_weak_source_get_source(dualPovState().dualScene);
		EXPECT_EQ(scene.Get(), nullptr);
		for (const SceneItemRef &window : findDualWindows(main, ""))
			EXPECT_FALSE(obs_sceneitem_visible(window));
		EXPECT_TRUE(moduleLog().empty());
	}
}

TEST_F(DualPovTest, ShownThenInPlaceThenPoppingOutThenOff)
{
	showResting();
	obs_sceneitem_t *window = windowOf(main, "Cam A");

	// Shown, the same source and scene again: changed at once.
	const DualLayout moved = {0.5, 0.5, 0.3, 0.5};
	EXPECT_EQ(show(0, 0.5, moved), "");
	EXPECT_EQ(dualPovState().animDirection, 0);
	EXPECT_FALSE(timerRunning());
	expectResting(window, moved);
	EXPECT_EQ(filterOpacity(feed("Cam A")), 0.5);
	EXPECT_EQ(findDualWindows(main, "").size(), 1u);
	EXPECT_EQ(logCount("dual POV: Cam A in the small window"), 2);

	// Shown, "dual.hide": popping out.
	hideDual();
	EXPECT_FALSE(povFlags().dualShown);
	EXPECT_EQ(dualPovState().animDirection, -1);
	EXPECT_TRUE(obs_sceneitem_visible(window));
	EXPECT_EQ(logCount("dual POV: off"), 1);

	// The last frame: off, the filter gone, the source still muted.
	ASSERT_TRUE(animationIdle());
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));
	EXPECT_TRUE(obs_source_muted(feed("Cam A")));
	EXPECT_EQ(dualPovState().animValue, 0.0);
	EXPECT_FALSE(timerRunning());

	// Off, "dual.hide": nothing more is logged.
	hideDual();
	EXPECT_EQ(logCount("dual POV: off"), 1);
	EXPECT_FALSE(obs_sceneitem_visible(window));
}

TEST_F(DualPovTest, PoppingOutThenShowTheSameGrowsBack)
{
	// Caught on its way out, smaller than at rest. A starved event loop
	// (a loaded machine, a sanitizer build) can let the whole pop-out
	// pass between two looks: then try again.
	obs_sceneitem_t *window = nullptr;
	bool running = false;
	for (int attempt = 0; attempt < 5 && !running; attempt++) {
		showResting();
		window = windowOf(main, "Cam A");
		hideDual();
		waitUntil([] {
			return dualPovState().animValue < 0.9 ||
			       dualPovState().animDirection == 0;
		});
		running = dualPovState().animDirection == -1;
	}
	ASSERT_TRUE(running) << "the pop-out was never caught running";

	const double caught = dualPovState().animValue;
	EXPECT_EQ(show(), "");
	EXPECT_TRUE(povFlags().dualShown);
	EXPECT_EQ(dualPovState().animDirection, 1);
	EXPECT_EQ(dualPovState().animFrom, caught);
	EXPECT_GT(caught, 0.0);
	EXPECT_TRUE(obs_sceneitem_visible(window));
	ASSERT_TRUE(animationIdle());
	expectResting(window);
}

TEST_F(DualPovTest, PoppingOutThenHideOrAnotherSourceTearsDownAtOnce)
{
	for (bool otherSource : {false, true}) {
		SCOPED_TRACE(otherSource ? "other source" : "dual.hide");
		resetDualPov();
		showResting(0.5);
		obs_sceneitem_t *window = windowOf(main, "Cam A");
		hideDual();
		ASSERT_EQ(dualPovState().animDirection, -1);
		clearCapturedLog();

		if (otherSource) {
			EXPECT_EQ(show(1), "");
			EXPECT_EQ(dualPovState().animDirection, 1);
			obs_sceneitem_t *other = windowOf(main, "Cam B");
			ASSERT_NE(other, nullptr);
			EXPECT_FALSE(obs_sceneitem_visible(other));
		} else {
			hideDual();
			EXPECT_EQ(dualPovState().animDirection, 0);
			EXPECT_TRUE(moduleLog().empty());
		}
		EXPECT_FALSE(obs_sceneitem_visible(window));
		EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));
		ASSERT_TRUE(animationIdle());
		EXPECT_FALSE(obs_sceneitem_visible(window));
	}
	expectResting(windowOf(main, "Cam B"));
}

TEST_F(DualPovTest, AnotherSourceReplacesTheShownWindow)
{
	showResting(0.5);
	obs_sceneitem_t *first = windowOf(main, "Cam A");
	EXPECT_EQ(show(1, 0.4), "");
	// The old window goes at once, with its filter.
	EXPECT_FALSE(obs_sceneitem_visible(first));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));
	EXPECT_TRUE(obs_source_muted(feed("Cam A")));
	obs_sceneitem_t *second = windowOf(main, "Cam B");
	ASSERT_NE(second, nullptr);
	EXPECT_FALSE(obs_sceneitem_visible(second));
	EXPECT_EQ(filterOpacity(feed("Cam B")), 0.4);
	EXPECT_EQ(dualPovState().animDirection, 1);
	ASSERT_TRUE(animationIdle());
	expectResting(second);
	EXPECT_FALSE(obs_sceneitem_visible(first));
}

TEST_F(DualPovTest, NewProgramSceneGetsItsOwnWindow)
{
	showResting();
	obs_sceneitem_t *old = windowOf(main, "Cam A");
	obs_scene_t *next = frontScene("Next");
	add(next, "Cam A", false);
	frontend::setProgramScene(obs_scene_get_source(next));

	EXPECT_EQ(show(), "");
	EXPECT_FALSE(obs_sceneitem_visible(old));
	EXPECT_EQ(windowOf(main, "Cam A"), old); // kept, hidden
	obs_sceneitem_t *window = windowOf(next, "Cam A");
	ASSERT_NE(window, nullptr);
	EXPECT_EQ(dualPovState().animDirection, 1);
	ASSERT_TRUE(animationIdle());
	expectResting(window);
	EXPECT_FALSE(obs_sceneitem_visible(old));

	// Back on the first scene: its window is reused.
	frontend::setProgramScene(obs_scene_get_source(main));
	EXPECT_EQ(show(), "");
	ASSERT_TRUE(animationIdle());
	EXPECT_EQ(windowOf(main, "Cam A"), old);
	EXPECT_EQ(findDualWindows(main, "").size(), 1u);
	expectResting(old);
	EXPECT_FALSE(obs_sceneitem_visible(window));
}

TEST_F(DualPovTest, MakesWayForTheSquadPovAndComesBack)
{
	showResting(0.5);
	obs_sceneitem_t *window = windowOf(main, "Cam A");

	// Shown, full-screen POV: made way.
	ASSERT_EQ(showPov(1, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	EXPECT_EQ(logCount("dual POV: making way for the full-screen swap"), 1);
	EXPECT_TRUE(povFlags().dualShown);
	EXPECT_TRUE(dualPovState().dualMadeWay);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));

	// Made way, "dual.show": nothing visible, nothing logged.
	clearCapturedLog();
	QJsonObject data;
	EXPECT_EQ(showDual(0, 0.1, 0.1, 0.3, 0.5, data), "");
	EXPECT_EQ(data, QJsonObject({{"source", "Cam A"},
				     {"slot", 0},
				     {"shown", false}}));
	EXPECT_TRUE(dualPovState().dualMadeWay);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_TRUE(moduleLog().empty());

	// Made way, the squad POV's hide step: back, popping in.
	hidePov(0, 0);
	ASSERT_TRUE(waitForLog("POV: back to your own view"));
	EXPECT_EQ(logCount("dual POV: back after the full-screen swap"), 1);
	EXPECT_FALSE(dualPovState().dualMadeWay);
	EXPECT_EQ(dualPovState().animDirection, 1);
	EXPECT_EQ(dualPovState().animDelayMs, 0);
	EXPECT_EQ(filterOpacity(feed("Cam A")), 0.5);
	ASSERT_TRUE(animationIdle());
	expectResting(window, {0.1, 0.1, 0.3, 0.5});

	// Made way, "dual.hide": off at once, without a log line; the POV's
	// end brings nothing back.
	ASSERT_EQ(showPov(1, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	clearCapturedLog();
	hideDual();
	EXPECT_FALSE(povFlags().dualShown);
	EXPECT_FALSE(dualPovState().dualMadeWay);
	EXPECT_TRUE(moduleLog().empty());
	hidePov(0, 0);
	ASSERT_TRUE(waitForLog("POV: back to your own view"));
	EXPECT_EQ(logCount("dual POV: back after the full-screen swap"), 0);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_EQ(dualPovState().animDirection, 0);
}

TEST_F(DualPovTest, ShowDuringAFullScreenPovWaitsForItsEnd)
{
	ASSERT_EQ(showPov(1, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	clearCapturedLog();

	QJsonObject data;
	EXPECT_EQ(showDual(0, 0.012, 0.19, 0.26, 1.0, data), "");
	EXPECT_FALSE(data.value("shown").toBool(true));
	EXPECT_TRUE(povFlags().dualShown);
	EXPECT_TRUE(dualPovState().dualMadeWay);
	EXPECT_TRUE(findDualWindows(main, "").empty());
	EXPECT_TRUE(moduleLog().empty());

	// A delayed hide: the window waits 500 ms after the hide step.
	hidePov(300, 0);
	ASSERT_TRUE(waitForLog("dual POV: back after the full-screen swap"));
	QElapsedTimer sinceHideStep;
	sinceHideStep.start();
	obs_sceneitem_t *window = windowOf(main, "Cam A");
	ASSERT_NE(window, nullptr);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_EQ(dualPovState().animDelayMs, 500);
	ASSERT_TRUE(waitUntil([&] { return obs_sceneitem_visible(window); }));
	EXPECT_GE(sinceHideStep.elapsed(), 480);
	ASSERT_TRUE(animationIdle());
	expectResting(window);
}

TEST_F(DualPovTest, WindowWaitingToReturn)
{
	// Made way, "dual.show" for another source: that one comes back.
	showResting();
	obs_sceneitem_t *first = windowOf(main, "Cam A");
	ASSERT_EQ(showPov(1, 0), "");
	ASSERT_TRUE(waitForLog("POV: showing Cam B"));
	QJsonObject data;
	ASSERT_EQ(showDual(1, 0.012, 0.19, 0.26, 1.0, data), "");
	EXPECT_EQ(dualPovState().dualSource, "Cam B");
	hidePov(300, 0);
	ASSERT_TRUE(waitForLog("dual POV: back after the full-screen swap"));
	obs_sceneitem_t *window = windowOf(main, "Cam B");
	ASSERT_NE(window, nullptr);
	EXPECT_EQ(dualPovState().animDelayMs, 500);
	EXPECT_FALSE(obs_sceneitem_visible(first));

	// Still within its delay the window is hidden: "dual.show" restarts
	// the pop-in from 0 without the delay...
	EXPECT_FALSE(obs_sceneitem_visible(window));
	ASSERT_EQ(showDual(1, 0.012, 0.19, 0.26, 1.0, data), "");
	EXPECT_EQ(dualPovState().animDirection, 1);
	EXPECT_EQ(dualPovState().animDelayMs, 0);
	EXPECT_EQ(dualPovState().animFrom, 0.0);

	// ... and "dual.hide" before its first frame takes it down at once.
	clearCapturedLog();
	hideDual();
	EXPECT_EQ(dualPovState().animDirection, 0);
	EXPECT_TRUE(moduleLog().empty());
	pumpEvents(100);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(obs_sceneitem_visible(first));
}

TEST_F(DualPovTest, SourceWithoutAnItemOnProgramTakesACropFromElsewhere)
{
	const std::string chat = "Tessil \xC2\xB7 chat";
	obs_scene_t *bare = frontScene("Bare");
	add(bare, "Game");
	add(bare, chat);
	obs_sceneitem_t *cropped = findItemsByName(main, "Cam A")[0];
	const obs_sceneitem_crop crop = {240, 0, 240, 0};
	obs_sceneitem_set_crop(cropped, &crop);
	frontend::setProgramScene(obs_scene_get_source(bare));

	EXPECT_EQ(show(), "");
	ASSERT_TRUE(animationIdle());
	obs_sceneitem_t *window = windowOf(bare, "Cam A");
	ASSERT_NE(window, nullptr);
	std::vector<std::string> order;
	for (const SceneItemRef &item : sceneItems(bare))
		order.push_back(itemSourceName(item));
	EXPECT_EQ(order, (std::vector<std::string>{"Game", "Cam A", chat}));
	obs_sceneitem_crop copied = {};
	obs_sceneitem_get_crop(window, &copied);
	EXPECT_EQ(copied.left, 240);
	EXPECT_EQ(copied.right, 240);
	EXPECT_TRUE(obs_sceneitem_visible(window));
	EXPECT_FLOAT_EQ(transformOf(window).bounds.y,
			libobsHost::keptPosition(374.4f));
	EXPECT_TRUE(findDualWindows(main, "").empty());
}

TEST_F(DualPovTest, ProgramCopyGetsAWindowToo)
{
	obs_scene_t *copy = studioCopy(main);
	EXPECT_EQ(show(), "");
	obs_sceneitem_t *window = windowOf(main, "Cam A");
	obs_sceneitem_t *copyWindow = windowOf(copy, "Cam A");
	ASSERT_NE(copyWindow, nullptr);
	ASSERT_TRUE(animationIdle());
	expectResting(window);
	expectResting(copyWindow);

	hideDual();
	EXPECT_EQ(dualPovState().animDirection, -1);
	ASSERT_TRUE(animationIdle());
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(obs_sceneitem_visible(copyWindow));
}

TEST_F(DualPovTest, WindowCopiedIntoANewProgramCopyStaysTheWindow)
{
	showResting();
	// A transition while the window is shown: OBS copies the scene, the
	// window's item included.
	obs_scene_t *copy = studioCopy(main);

	hideDual();
	ASSERT_TRUE(animationIdle());
	for (const SceneItemRef &item : sceneItems(copy)) {
		if (itemSourceName(item) == "Cam A") {
			EXPECT_FALSE(obs_sceneitem_visible(item));
		}
	}

	ASSERT_EQ(show(), "");
	ASSERT_TRUE(animationIdle());
	EXPECT_EQ(findDualWindows(copy, "Cam A").size(), 1u);
	EXPECT_EQ(findItemsByName(copy, "Cam A").size(), 1u);
	expectResting(windowOf(copy, "Cam A"));
}

TEST_F(DualPovTest, FinishingEndsARunningAnimationAtOnce)
{
	showResting(0.5);
	obs_sceneitem_t *window = windowOf(main, "Cam A");
	hideDual(); // popping out
	pumpEvents(50);
	finishDualAnimation();
	EXPECT_EQ(dualPovState().animDirection, 0);
	EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));

	ASSERT_EQ(show(0, 0.5), ""); // popping in
	ASSERT_EQ(dualPovState().animDirection, 1);
	finishDualAnimation();
	EXPECT_EQ(dualPovState().animDirection, 0);
	expectResting(window);
	EXPECT_EQ(filterOpacity(feed("Cam A")), 0.5);

	finishDualAnimation(); // nothing running: nothing changes
	expectResting(window);
}

TEST_F(DualPovTest, LeftoversOfAnEarlierRunGoUnlessThisRunShowsAWindow)
{
	// As an earlier run saved them: a window left visible, filters on.
	obs_sceneitem_t *stray = addWindow(main, "Cam B", true);
	setDualOpacity(feed("Cam B"), 0.4);
	clearDualLeftovers();
	EXPECT_FALSE(obs_sceneitem_visible(stray));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam B")));

	showResting(0.5);
	clearDualLeftovers();
	expectResting(windowOf(main, "Cam A"));
	EXPECT_EQ(filterOpacity(feed("Cam A")), 0.5);
}

TEST_F(DualPovTest, HideWithNothingShownStillHidesEveryWindow)
{
	obs_scene_t *second = frontScene("Second");
	obs_scene_t *copy = studioCopy(main);
	const std::vector<obs_sceneitem_t *> windows = {
		addWindow(main, "Cam A", true),
		addWindow(second, "Cam B", true),
		addWindow(copy, "Cam A", true)};
	dualPovState().dualSource = "Cam A";
	setDualOpacity(feed("Cam A"), 0.5);
	setDualOpacity(feed("Cam B"), 0.5);
	clearCapturedLog();

	hideDual();
	for (obs_sceneitem_t *window : windows)
		EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));
	EXPECT_TRUE(hasOpacityFilter(feed("Cam B"))); // not the last used
	EXPECT_TRUE(moduleLog().empty());
}

TEST_F(DualPovTest, ResetLeavesNoWindowAndNoFilter)
{
	obs_scene_t *second = frontScene("Second");
	obs_sceneitem_t *stray = addWindow(second, "Cam B", true);
	setDualOpacity(feed("Cam B"), 0.3);
	setDualOpacity(feed("Other"), 0.3);
	showResting(0.5);
	// A second show mid-way through its pop-in.
	const DualLayout moved = {0.3, 0.3, 0.3, 0.5};
	EXPECT_EQ(show(1, 0.5, moved), "");
	ASSERT_EQ(dualPovState().animDirection, 1);

	resetDualPov();
	EXPECT_FALSE(povFlags().dualShown);
	EXPECT_FALSE(dualPovState().dualMadeWay);
	EXPECT_EQ(dualPovState().animDirection, 0);
	EXPECT_EQ(dualPovState().animValue, 1.0);
	EXPECT_FALSE(timerRunning());
	OBSSourceAutoRelease scene =
		obs_weak_source_get_source(dualPovState().dualScene);
	EXPECT_EQ(scene.Get(), nullptr);
	// Source and layout survive.
	EXPECT_EQ(dualPovState().dualSource, "Cam B");
	EXPECT_EQ(dualPovState().layout.x, 0.3);

	pumpEvents(100);
	for (obs_scene_t *s : {main, second})
		for (const SceneItemRef &window : findDualWindows(s, ""))
			EXPECT_FALSE(obs_sceneitem_visible(window));
	EXPECT_FALSE(obs_sceneitem_visible(stray));
	for (const char *name : {"Cam A", "Cam B", "Other"})
		EXPECT_FALSE(hasOpacityFilter(feed(name))) << name;

	// From the collection-change events too, once the module is loaded;
	// here directly: a second reset changes nothing.
	resetDualPov();
	EXPECT_FALSE(povFlags().dualShown);
}

TEST_F(DualPovTest, ShutdownStopsAnimatingAndLeavesWindowAndFilter)
{
	showResting(0.5);
	obs_sceneitem_t *window = windowOf(main, "Cam A");
	hideDual(); // popping out
	pumpEvents(50);
	const float caught = transformOf(window).bounds.x;

	shutdownDualPov();
	EXPECT_EQ(dualPovState().animTimer, nullptr);
	EXPECT_EQ(dualPovState().animDirection, 0);
	OBSSourceAutoRelease scene =
		obs_weak_source_get_source(dualPovState().dualScene);
	EXPECT_EQ(scene.Get(), nullptr);
	shutdownDualPov(); // again: nothing more

	pumpEvents(400);
	EXPECT_TRUE(obs_sceneitem_visible(window));
	EXPECT_EQ(transformOf(window).bounds.x, caught);
	EXPECT_EQ(filterOpacity(feed("Cam A")), 0.5);
	EXPECT_TRUE(obs_source_muted(feed("Cam A")));
}

TEST_F(DualPovTest, DeletedSceneIsForgotten)
{
	obs_source_t *temp = frontend::addScene("Temp");
	add(obs_scene_from_source(temp), "Cam A", false);
	frontend::setProgramScene(temp);
	ASSERT_EQ(show(), "");
	ASSERT_TRUE(animationIdle());
	frontend::removeScene(temp); // the last strong reference
	OBSSourceAutoRelease gone =
		obs_weak_source_get_source(dualPovState().dualScene);
	EXPECT_EQ(gone.Get(), nullptr);

	// Nothing to hide, nothing to animate; the filter still goes.
	setDualOpacity(feed("Cam A"), 0.5);
	hideDual();
	EXPECT_EQ(dualPovState().animDirection, 0);
	EXPECT_FALSE(hasOpacityFilter(feed("Cam A")));
}
