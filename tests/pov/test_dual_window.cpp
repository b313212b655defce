#include "pov_fixture.h"

#include <cmath>

namespace {
const DualLayout defaultLayout;

std::string describeItem(obs_sceneitem_t *item)
{
	return (isDualPovWindow(item) ? "window " : "") + itemSourceName(item);
}

std::vector<std::string> describe(obs_scene_t *scene)
{
	std::vector<std::string> out;
	for (const SceneItemRef &item : sceneItems(scene))
		out.push_back(describeItem(item));
	return out;
}
}

using DualWindowTest = PovTest;

TEST(DualWindowGeometry, BoxForCanvasCropSourceLayoutAndScale)
{
	struct Case {
		const char *what;
		uint32_t canvasWidth, canvasHeight;
		WindowCrop crop;
		uint32_t sourceWidth, sourceHeight;
		DualLayout layout;
		double scale;
		WindowBox expected;
	};
	const DualLayout middle = {0.5, 0.25, 0.5, 1.0};
	const std::vector<Case> cases = {
		{"resting, uncropped",
		 1920,
		 1080,
		 {},
		 1920,
		 1080,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 280.8f}},
		{"cropped 240 left and right",
		 1920,
		 1080,
		 {240, 0, 240, 0},
		 1920,
		 1080,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 374.4f}},
		{"half scale, same centre",
		 1920,
		 1080,
		 {},
		 1920,
		 1080,
		 defaultLayout,
		 0.5,
		 {147.84f, 275.4f, 249.6f, 140.4f}},
		{"cropped top and bottom",
		 1920,
		 1080,
		 {0, 140, 0, 140},
		 1920,
		 1080,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 208.0f}},
		{"4:3 source",
		 1920,
		 1080,
		 {},
		 640,
		 480,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 374.4f}},
		{"source without size: nine sixteenths",
		 1920,
		 1080,
		 {},
		 0,
		 0,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 280.8f}},
		{"4:3 source cropped to nothing: nine sixteenths",
		 1920,
		 1080,
		 {400, 0, 400, 0},
		 640,
		 480,
		 defaultLayout,
		 1.0,
		 {23.04f, 205.2f, 499.2f, 280.8f}},
		{"scale 0 clamps to 0.001, box at least 1 pixel",
		 1920,
		 1080,
		 {},
		 1920,
		 1080,
		 defaultLayout,
		 0.0,
		 {272.3904f, 345.4596f, 1.0f, 1.0f}},
		{"scale 3 clamps to 1.5",
		 1920,
		 1080,
		 {},
		 1920,
		 1080,
		 defaultLayout,
		 3.0,
		 {-101.76f, 135.0f, 748.8f, 421.2f}},
		{"pop-in overshoot 1.08",
		 1920,
		 1080,
		 {},
		 1920,
		 1080,
		 defaultLayout,
		 1.08,
		 {3.072f, 193.968f, 539.136f, 303.264f}},
		{"1280x720 canvas",
		 1280,
		 720,
		 {},
		 1920,
		 1080,
		 middle,
		 1.0,
		 {640.0f, 180.0f, 640.0f, 360.0f}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		const WindowBox box = dualWindowBox(
			c.canvasWidth, c.canvasHeight, c.crop, c.sourceWidth,
			c.sourceHeight, c.layout, c.scale);
		EXPECT_NEAR(box.x, c.expected.x, 1e-4);
		EXPECT_NEAR(box.y, c.expected.y, 1e-4);
		EXPECT_NEAR(box.width, c.expected.width, 1e-4);
		EXPECT_NEAR(box.height, c.expected.height, 1e-4);
	}
}

TEST(DualWindowGeometry, ScaledBoxKeepsItsCentre)
{
	const WindowBox rest =
		dualWindowBox(1920, 1080, {}, 1920, 1080, defaultLayout, 1.0);
	for (double scale : {0.25, 0.5, 0.9, 1.08, 1.5}) {
		SCOPED_TRACE(scale);
		const WindowBox box = dualWindowBox(1920, 1080, {}, 1920, 1080,
						    defaultLayout, scale);
		EXPECT_NEAR(box.x + box.width / 2, rest.x + rest.width / 2,
			    1e-3);
		EXPECT_NEAR(box.y + box.height / 2, rest.y + rest.height / 2,
			    1e-3);
	}
}

TEST(DualWindowNames, ReservedPrefix)
{
	const struct {
		std::string name;
		bool reserved;
	} cases[] = {
		{"Tessil \xC2\xB7", true},
		{"Tessil \xC2\xB7 chat", true},
		{"Tessil \xC2\xB7\xC2\xB7", true},
		{"Tessil Link \xC2\xB7 Dual POV opacity", false},
		{"Tessil \xC2", false}, // its first eight bytes
		{"Tessil ", false},
		{"tessil \xC2\xB7 chat", false},
		{"Tessil . chat", false},
		{" Tessil \xC2\xB7", false},
		{"", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(hasReservedPrefix(c.name), c.reserved) << c.name;
}

TEST_F(DualWindowTest, NewWindowIsStackedAboveItsFeedAndBelowReservedItems)
{
	const std::string chat = "Tessil \xC2\xB7 chat";
	struct Case {
		const char *what;
		std::vector<std::string> before; // bottom first
		std::vector<std::string> after;
	};
	// "G[A]" is a group holding feed A; "window B" a window of B.
	const std::vector<Case> cases = {
		{"own view, feed, chat",
		 {"Own", "A", chat},
		 {"Own", "A", "window A", chat}},
		{"own view, chat", {"Own", chat}, {"Own", "window A", chat}},
		{"own view only", {"Own"}, {"Own", "window A"}},
		{"empty scene", {}, {"window A"}},
		{"feed above the chat",
		 {"Own", chat, "A"},
		 {"Own", chat, "A", "window A"}},
		{"feed twice: above the higher one",
		 {"A", "Own", "A", chat},
		 {"A", "Own", "A", "window A", chat}},
		{"feed inside a group",
		 {"Own", "G[A]", chat},
		 {"Own", "G", "window A", chat}},
		{"group without the feed",
		 {"Own", "G[B]", chat},
		 {"Own", "G", "window A", chat}},
		{"below the lowest reserved item",
		 {chat, "Own", chat},
		 {"window A", chat, "Own", chat}},
		{"another source's window",
		 {"Own", "window B", chat},
		 {"Own", "window B", "window A", chat}},
	};
	int sceneNumber = 0;
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string sceneName =
			"Scene " + std::to_string(++sceneNumber);
		obs_scene_t *scene = privateScene(sceneName.c_str());
		for (const std::string &name : c.before) {
			if (name == "G[A]" || name == "G[B]")
				addGroup(scene, "G", {name.substr(2, 1)});
			else if (name.rfind("window ", 0) == 0)
				addWindow(scene, name.substr(7), false);
			else
				add(scene, name);
		}
		clearCapturedLog();

		obs_sceneitem_t *window = ensureDualWindow(scene, feed("A"));
		ASSERT_NE(window, nullptr);
		EXPECT_EQ(describe(scene), c.after);
		EXPECT_TRUE(isDualPovWindow(window));
		EXPECT_FALSE(obs_sceneitem_visible(window));
		EXPECT_EQ(
			countLogLines(
				LOG_INFO,
				logged("dual POV: added the window for A to scene " +
				       sceneName)),
			1);
		EXPECT_EQ(moduleLog().size(), 1u);
	}
}

TEST_F(DualWindowTest, SecondEnsureReturnsTheSameItemAndLogsNothing)
{
	obs_scene_t *scene = privateScene("Main");
	add(scene, "Own");
	add(scene, "A");
	obs_sceneitem_t *first = ensureDualWindow(scene, feed("A"));
	ASSERT_NE(first, nullptr);
	obs_sceneitem_set_visible(first, true);
	clearCapturedLog();

	EXPECT_EQ(ensureDualWindow(scene, feed("A")), first);
	EXPECT_EQ(sceneItems(scene).size(), 3u);
	EXPECT_TRUE(obs_sceneitem_visible(first));
	EXPECT_TRUE(moduleLog().empty());
	// A window of another source is another window.
	obs_sceneitem_t *other = ensureDualWindow(scene, feed("B"));
	EXPECT_NE(other, first);
	EXPECT_EQ(sceneItems(scene).size(), 4u);
}

TEST_F(DualWindowTest, WindowThatCannotBeAddedIsNull)
{
	// A scene cannot hold itself.
	obs_scene_t *scene = privateScene("Main");
	clearCapturedLog();
	EXPECT_EQ(ensureDualWindow(scene, obs_scene_get_source(scene)),
		  nullptr);
	EXPECT_TRUE(sceneItems(scene).empty());
	EXPECT_TRUE(moduleLog().empty());
}

TEST_F(DualWindowTest, PlacementWritesEveryFieldFromTheCanvasAndCrop)
{
	if (!startVideo(1280, 720))
		GTEST_SKIP() << "no video on this display";
	obs_scene_t *scene = privateScene("Main");
	obs_sceneitem_t *item = add(scene, "A");
	obs_transform_info messy = {};
	messy.pos = {7.0f, 9.0f};
	messy.rot = 45.0f;
	messy.scale = {2.0f, 3.0f};
	messy.alignment = OBS_ALIGN_RIGHT | OBS_ALIGN_BOTTOM;
	messy.bounds_type = OBS_BOUNDS_STRETCH;
	messy.bounds_alignment = OBS_ALIGN_RIGHT;
	messy.bounds = {5.0f, 5.0f};
	setItemTransform(item, &messy);
	const obs_sceneitem_crop crop = {240, 0, 240, 0};
	obs_sceneitem_set_crop(item, &crop);

	for (double scale : {1.0, 0.5}) {
		SCOPED_TRACE(scale);
		placeDualWindow(item, feed("A"), defaultLayout, scale);
		const WindowBox box = dualWindowBox(1280, 720, {240, 0, 240, 0},
						    1920, 1080, defaultLayout,
						    scale);
		const obs_transform_info info = transformOf(item);
		EXPECT_FLOAT_EQ(info.pos.x, libobsHost::keptPosition(box.x));
		EXPECT_FLOAT_EQ(info.pos.y, libobsHost::keptPosition(box.y));
		EXPECT_EQ(info.rot, 0.0f);
		EXPECT_EQ(info.scale.x, 1.0f);
		EXPECT_EQ(info.scale.y, 1.0f);
		EXPECT_EQ(info.alignment, 5u);
		EXPECT_EQ(info.bounds_type, OBS_BOUNDS_SCALE_INNER);
		EXPECT_EQ(info.bounds_alignment, 0u);
		EXPECT_FLOAT_EQ(info.bounds.x,
				libobsHost::keptPosition(box.width));
		EXPECT_FLOAT_EQ(info.bounds.y,
				libobsHost::keptPosition(box.height));
	}
	// At rest: 0.26 of 1280 wide, shaped like the 1440x1080 crop.
	placeDualWindow(item, feed("A"), defaultLayout, 1.0);
	const obs_transform_info rest = transformOf(item);
	EXPECT_FLOAT_EQ(rest.pos.x, libobsHost::keptPosition(15.36f));
	EXPECT_FLOAT_EQ(rest.pos.y, libobsHost::keptPosition(136.8f));
	EXPECT_FLOAT_EQ(rest.bounds.x, libobsHost::keptPosition(332.8f));
	EXPECT_FLOAT_EQ(rest.bounds.y, libobsHost::keptPosition(249.6f));
}

TEST_F(DualWindowTest, CropComesFromTheFirstUserItemOfTheSource)
{
	struct Case {
		const char *what;
		// Items of the given scene, bottom first: "A:n" is feed A
		// cropped n on the left, "G[A:n]" a group holding it,
		// "window A:n" a window, "marked G[A:n]" a group holding a
		// marked child.
		std::vector<std::string> given;
		// Items of a front-end scene searched next.
		std::vector<std::string> other;
		bool found;
		int left;
	};
	const std::vector<Case> cases = {
		{"group below every top-level item",
		 {"G[A:10]", "A:20"},
		 {},
		 true,
		 10},
		{"top-level item below the group",
		 {"A:20", "G[A:10]"},
		 {},
		 true,
		 20},
		{"a window is never the origin",
		 {"window A:30", "A:20"},
		 {},
		 true,
		 20},
		{"only a window: the other scenes",
		 {"window A:30"},
		 {"B:5", "A:40"},
		 true,
		 40},
		{"no item in the scene: the other scenes",
		 {"B:5"},
		 {"G[A:50]"},
		 true,
		 50},
		{"group children are not tested for the marker",
		 {"marked G[A:60]"},
		 {},
		 true,
		 60},
		{"nowhere", {"window A:30", "B:5"}, {"B:6"}, false, 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		auto build = [&](obs_scene_t *scene,
				 const std::vector<std::string> &items) {
			for (std::string entry : items) {
				const bool marked = entry.rfind("marked ", 0) ==
						    0;
				if (marked)
					entry = entry.substr(7);
				const bool window = entry.rfind("window ", 0) ==
						    0;
				if (window)
					entry = entry.substr(7);
				const bool grouped = entry.rfind("G[", 0) == 0;
				if (grouped)
					entry = entry.substr(2,
							     entry.size() - 3);
				const std::string name = entry.substr(0, 1);
				obs_sceneitem_t *item =
					window ? addWindow(scene, name, false)
					       : add(scene, name);
				if (grouped) {
					obs_sceneitem_t *group =
						obs_scene_add_group2(scene, "G",
								     false);
					obs_sceneitem_group_add_item(group,
								     item);
					item = groupChild(group, 0);
				}
				if (marked) {
					OBSDataAutoRelease settings =
						obs_sceneitem_get_private_settings(
							item);
					obs_data_set_bool(settings,
							  DUAL_POV_MARKER,
							  true);
				}
				const obs_sceneitem_crop crop = {
					std::stoi(entry.substr(2)), 1, 2, 3};
				obs_sceneitem_set_crop(item, &crop);
			}
		};
		obs_scene_t *scene = privateScene("Given");
		build(scene, c.given);
		obs_source_t *other = frontend::addScene("Other");
		build(obs_scene_from_source(other), c.other);

		obs_sceneitem_crop crop = {7, 7, 7, 7};
		EXPECT_EQ(findSourceCrop(scene, "A", crop), c.found);
		if (c.found) {
			EXPECT_EQ(crop.left, c.left);
			EXPECT_EQ(crop.top, 1);
			EXPECT_EQ(crop.right, 2);
			EXPECT_EQ(crop.bottom, 3);
		} else {
			EXPECT_EQ(crop.left, 7);
			EXPECT_EQ(crop.bottom, 7);
		}
		frontend::removeScene(other);
	}
}

TEST_F(DualWindowTest, OpacityFilterExistsOnlyBelowFullOpacity)
{
	obs_source_t *source = feed("A");
	const struct {
		double opacity;
		double expected; // -1: no filter
	} steps[] = {
		{0.5, 0.5},   {0.3, 0.3},       {1.0, -1.0},   {0.5, 0.5},
		{0.9995, -1}, {0.9989, 0.9989}, {0.999, -1.0}, {1.0, -1.0},
	};
	for (const auto &step : steps) {
		SCOPED_TRACE(step.opacity);
		setDualOpacity(source, step.opacity);
		EXPECT_DOUBLE_EQ(filterOpacity(source), step.expected);
		EXPECT_EQ(obs_source_filter_count(source),
			  step.expected < 0 ? 0u : 1u);
		OBSSourceAutoRelease filter = obs_source_get_filter_by_name(
			source, DUAL_OPACITY_FILTER_NAME);
		if (filter) {
			EXPECT_STREQ(obs_source_get_id(filter),
				     "color_filter_v2");
		}
	}
}

TEST_F(DualWindowTest, RemovingFiltersTakesOnlyTheOpacityFilterOffEverySource)
{
	setDualOpacity(feed("A"), 0.5);
	setDualOpacity(feed("B"), 0.2);
	OBSSourceAutoRelease keep = obs_source_create_private(
		TEST_COLOR_FILTER_KIND, "Keep", nullptr);
	obs_source_filter_add(feed("C"), keep);
	obs_source_filter_add(feed("A"), keep);

	removeDualOpacityFilters();
	for (const char *name : {"A", "B", "C"}) {
		SCOPED_TRACE(name);
		EXPECT_FALSE(hasOpacityFilter(feed(name)));
	}
	OBSSourceAutoRelease kept =
		obs_source_get_filter_by_name(feed("C"), "Keep");
	EXPECT_TRUE(kept);
	EXPECT_EQ(obs_source_filter_count(feed("A")), 1u);
}

TEST_F(DualWindowTest, FindingAndHidingWindows)
{
	obs_scene_t *main = frontScene("Main");
	obs_scene_t *second = frontScene("Second");
	obs_sceneitem_t *ownA = add(main, "A");
	obs_sceneitem_t *mainA = addWindow(main, "A", true);
	obs_sceneitem_t *mainB = addWindow(main, "B", true);
	obs_sceneitem_t *group = addGroup(main, "G", {"A"});
	obs_sceneitem_t *groupChildA = groupChild(group, 0);
	{
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(groupChildA);
		obs_data_set_bool(settings, DUAL_POV_MARKER, true);
	}
	obs_sceneitem_t *secondA = addWindow(second, "A", true);
	obs_scene_t *copy = studioCopy(main);
	obs_sceneitem_t *copyA = addWindow(copy, "A", true);
	obs_sceneitem_t *copyB = addWindow(copy, "B", true);

	const SceneItemList onlyA = findDualWindows(main, "A");
	ASSERT_EQ(onlyA.size(), 1u);
	EXPECT_EQ(onlyA[0].Get(), mainA);
	EXPECT_EQ(findDualWindows(main, "").size(), 2u);
	EXPECT_TRUE(findDualWindows(main, "C").empty());

	const std::vector<obs_sceneitem_t *> windows = {mainA, mainB, secondA,
							copyA, copyB};
	struct Case {
		const char *what;
		void (*hide)(obs_scene_t *);
		std::vector<bool> visibleAfter; // per window above
	};
	const std::vector<Case> cases = {
		{"one scene", hideDualWindows, {false, false, true, true, true}},
		{"every front-end scene",
		 [](obs_scene_t *) { hideDualWindowsInAllScenes(); },
		 {false, false, false, true, true}},
		{"and the program copy",
		 [](obs_scene_t *) { hideDualWindowsEverywhere(); },
		 {false, false, false, false, false}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		for (obs_sceneitem_t *window : windows)
			obs_sceneitem_set_visible(window, true);
		c.hide(main);
		for (size_t i = 0; i < windows.size(); i++)
			EXPECT_EQ(obs_sceneitem_visible(windows[i]),
				  c.visibleAfter[i])
				<< "window " << i;
		// Neither the user's item nor a marked group child.
		EXPECT_TRUE(obs_sceneitem_visible(ownA));
		EXPECT_TRUE(obs_sceneitem_visible(groupChildA));
	}
}
