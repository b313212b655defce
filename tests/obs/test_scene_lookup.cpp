#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QString>

#include <map>
#include <string>
#include <vector>

#include "duplicates.h"
#include "feed_sources.h"
#include "frontend_double.h"
#include "obs/scene_lookup.h"
#include "obs_fixture.h"
#include "test_kinds.h"

namespace {
void markDualPovWindow(obs_sceneitem_t *item, bool marked = true)
{
	OBSDataAutoRelease settings = obs_sceneitem_get_private_settings(item);
	obs_data_set_bool(settings, DUAL_POV_MARKER, marked);
}

// Builds scenes from named feed sources, one source per name, and names
// the items it adds so that results can be compared by label.
class SceneLookupTest : public ObsTest {
protected:
	void SetUp() override { ObsTest::SetUp(); }

	void TearDown() override
	{
		obs_set_output_source(0, nullptr);
		sources.clear();
		ownedScenes.clear();
		ObsTest::TearDown();
	}

	obs_source_t *source(const std::string &name)
	{
		return sources.get(name);
	}

	// A scene outside the front-end's list, released at tear-down.
	obs_scene_t *privateScene(const char *name)
	{
		ownedScenes.emplace_back(obs_scene_create_private(name));
		return ownedScenes.back();
	}

	obs_sceneitem_t *add(obs_scene_t *scene, const std::string &name,
			     const std::string &label)
	{
		obs_sceneitem_t *item = obs_scene_add(scene, source(name));
		labels[item] = label;
		return item;
	}

	// A group holding one item of each named source, bottom to top,
	// labelled "<group label> > <child>". Its name may repeat.
	obs_sceneitem_t *addGroup(obs_scene_t *scene, const char *name,
				  const std::string &label,
				  const std::vector<std::string> &children)
	{
		obs_sceneitem_t *group = duplicates::addGroup(scene, name);
		labels[group] = label;
		for (const std::string &child : children)
			obs_sceneitem_group_add_item(
				group, obs_scene_add(scene, source(child)));
		// Adding to a group moves the item: find the moved ones.
		obs_scene_t *inner = obs_sceneitem_group_get_scene(group);
		for (const std::string &child : children) {
			obs_sceneitem_t *moved =
				obs_scene_find_source(inner, child.c_str());
			obs_sceneitem_set_order(moved, OBS_ORDER_MOVE_TOP);
			labels[moved] = label + " > " + child;
		}
		return group;
	}

	obs_sceneitem_t *labelled(const std::string &label) const
	{
		for (const auto &entry : labels)
			if (entry.second == label)
				return entry.first;
		return nullptr;
	}

	std::vector<std::string> describe(const SceneItemList &items) const
	{
		std::vector<std::string> out;
		for (const SceneItemRef &item : items) {
			auto it = labels.find(item.Get());
			out.push_back(it != labels.end()
					      ? it->second
					      : "<unlabelled " +
							itemSourceName(item) +
							">");
		}
		return out;
	}

	FeedSources sources;
	std::vector<OBSSceneAutoRelease> ownedScenes;
	std::map<obs_sceneitem_t *, std::string> labels;
};

TEST_F(SceneLookupTest, CanvasIs1920By1080WithoutVideo)
{
	const CanvasSize size = canvasSize();
	EXPECT_EQ(size.width, 1920u);
	EXPECT_EQ(size.height, 1080u);
}

TEST_F(SceneLookupTest, CanvasIsTheBaseSizeNotTheOutputSize)
{
	obs_video_info info = {};
	info.graphics_module = "libobs-opengl";
	info.fps_num = 30;
	info.fps_den = 1;
	info.base_width = 1280;
	info.base_height = 720;
	info.output_width = 640;
	info.output_height = 360;
	info.output_format = VIDEO_FORMAT_NV12;
	info.gpu_conversion = true;
	info.colorspace = VIDEO_CS_709;
	info.range = VIDEO_RANGE_PARTIAL;
	info.scale_type = OBS_SCALE_BICUBIC;
	ASSERT_EQ(obs_reset_video(&info), OBS_VIDEO_SUCCESS);

	const CanvasSize size = canvasSize();
	EXPECT_EQ(size.width, 1280u);
	EXPECT_EQ(size.height, 720u);
}

TEST_F(SceneLookupTest, NamesAndTheDualPovMarker)
{
	OBSSourceAutoRelease unnamed =
		obs_source_create_private(TEST_FEED_KIND, nullptr, nullptr);
	EXPECT_EQ(sourceName(nullptr), "");
	EXPECT_EQ(sourceName(unnamed), "");
	EXPECT_EQ(sourceName(source("Scène · 1")), "Scène · 1");

	obs_scene_t *scene = privateScene("Main");
	obs_sceneitem_t *plain = add(scene, "Feed", "plain");
	obs_sceneitem_t *marked = add(scene, "Feed", "marked");
	obs_sceneitem_t *unmarked = add(scene, "Feed", "unmarked");
	markDualPovWindow(marked);
	markDualPovWindow(unmarked, false);

	EXPECT_EQ(itemSourceName(plain), "Feed");
	EXPECT_FALSE(isDualPovWindow(plain));
	EXPECT_TRUE(isDualPovWindow(marked));
	EXPECT_FALSE(isDualPovWindow(unmarked));
}

TEST_F(SceneLookupTest, ItemListsEnumerateOneLevelBottomToTop)
{
	obs_scene_t *scene = privateScene("Main");
	add(scene, "A", "A");
	obs_sceneitem_t *group = addGroup(scene, "G", "G", {"B", "C"});
	obs_sceneitem_t *plain = add(scene, "D", "D");

	EXPECT_EQ(describe(sceneItems(scene)),
		  (std::vector<std::string>{"A", "G", "D"}));
	EXPECT_EQ(describe(groupItems(group)),
		  (std::vector<std::string>{"G > B", "G > C"}));
	EXPECT_TRUE(sceneItems(nullptr).empty());
	EXPECT_TRUE(groupItems(nullptr).empty());
	EXPECT_TRUE(groupItems(plain).empty());
}

TEST_F(SceneLookupTest, FindItemsByNameStages)
{
	// For the second "Pair", a private group where names are unique.
	ASSERT_TRUE(startVideoForSceneItems());
	// Listed bottom to top, which is the host's enumeration order.
	obs_scene_t *scene = privateScene("Main");
	add(scene, "Feed", "Feed#1");
	add(scene, "Top", "Top");
	addGroup(scene, "G1", "G1", {"Top", "Other"});
	markDualPovWindow(add(scene, "Feed", "Feed#window"));
	addGroup(scene, "Group", "Group", {"Cam"});
	add(scene, "Feed", "Feed#2");
	addGroup(scene, "Left", "Left", {"Mic", "Marked"});
	markDualPovWindow(labelled("Left > Marked"));
	addGroup(scene, "Right", "Right", {"Mic"});
	addGroup(scene, "Pair", "Pair#1", {"Mic", "Solo"});
	addGroup(scene, "Pair", "Pair#2", {"Mic"});
	addGroup(scene, "X", "X", {"Y/Z"});
	addGroup(scene, "X/Y", "X/Y", {"Z", "W"});
	markDualPovWindow(add(scene, "Marked", "Marked#window"));
	markDualPovWindow(add(scene, "Alone", "Alone#window"));
	add(scene, "Caméra", "Caméra");
	// A nested scene and a group inside a group: deeper than one level.
	obs_scene_t *nest = privateScene("Nest");
	obs_scene_add(nest, source("Deep"));
	obs_sceneitem_t *nestItem =
		obs_scene_add(scene, obs_scene_get_source(nest));
	labels[nestItem] = "Nest";
	obs_sceneitem_t *outer = addGroup(scene, "Outer", "Outer", {});
	addGroup(obs_sceneitem_group_get_scene(outer), "Inner", "Outer > Inner",
		 {"Deep"});

	struct Case {
		const char *name;
		std::vector<std::string> expected;
	};
	const std::vector<Case> cases = {
		// Stage 1 wins and never looks into groups.
		{"Top", {"Top"}},
		// Same source twice at the top; the marked window is left out.
		{"Feed", {"Feed#1", "Feed#2"}},
		{"X/Y", {"X/Y"}},
		{"Nest", {"Nest"}},
		// Stage 2: group path.
		{"G1/Top", {"G1 > Top"}},
		{"Group/Cam", {"Group > Cam"}},
		{"Pair/Mic", {"Pair#1 > Mic", "Pair#2 > Mic"}},
		// "X/Y/Z": group "X" with child "Y/Z" first...
		{"X/Y/Z", {"X > Y/Z"}},
		// ...then group "X/Y" with child "W".
		{"X/Y/W", {"X/Y > W"}},
		// Stage 3: children of any group.
		{"Cam", {"Group > Cam"}},
		{"Mic",
		 {"Left > Mic", "Right > Mic", "Pair#1 > Mic", "Pair#2 > Mic"}},
		{"Z", {"X/Y > Z"}},
		// A "/" name whose splits find nothing is still a child name.
		{"Y/Z", {"X > Y/Z"}},
		// The marker counts at the top level only.
		{"Marked", {"Left > Marked"}},
		{"Alone", {}},
		{"Solo", {"Pair#1 > Solo"}},
		// A group child is found; its own children are not.
		{"Inner", {"Outer > Inner"}},
		{"Deep", {}},
		{"Inner/Deep", {}},
		{"Outer/Inner/Deep", {}},
		{"Nest/Deep", {}},
		// Exact bytes: case, blanks, a path that is not a group's.
		{"cam", {}},
		{"Cam ", {}},
		{" Cam", {}},
		{"Group/cam", {}},
		{"group/Cam", {}},
		{"Group /Cam", {}},
		{"Feed/Cam", {}},
		{"Caméra", {"Caméra"}},
		{"Camera", {}},
		// The same text decomposed: no normalisation.
		{"Came\u0301ra", {}},
		{"", {}},
		{"Nothing", {}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string("name \"") + c.name + "\"");
		EXPECT_EQ(describe(findItemsByName(scene, c.name)), c.expected);
	}
	EXPECT_TRUE(findItemsByName(nullptr, "Top").empty());
}

TEST_F(SceneLookupTest, FindSceneByNameIsExactAndHandsOverAReference)
{
	obs_source_t *scene1 = frontend::addScene("Scene 1");
	obs_source_t *accented = frontend::addScene("Scène");
	obs_source_t *twin1 = frontend::addScene("Twin");
	OBSSceneAutoRelease twin2 = duplicates::createScene("Twin");
	frontend::listScene(obs_scene_get_source(twin2));
	// Scenes libobs knows that the front-end does not list.
	privateScene("Hidden");
	unlistedScene("Unlisted");

	struct Case {
		QString name;
		obs_source_t *expected;
	};
	const std::vector<Case> cases = {
		{"Scene 1", scene1},   {QString::fromUtf8("Scène"), accented},
		{"Twin", twin1},       {"scene 1", nullptr},
		{"Scene 1 ", nullptr}, {"Scene", nullptr},
		{"Hidden", nullptr},   {"Unlisted", nullptr},
		{"", nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name.toStdString());
		OBSSourceAutoRelease found = findSceneByName(c.name);
		EXPECT_EQ(found.Get(), c.expected);
	}

	// The answer is the caller's own reference: it keeps the scene alive
	// after the front-end lets go, and only it does.
	OBSSourceAutoRelease found = findSceneByName("Scene 1");
	OBSWeakSourceAutoRelease weak = obs_source_get_weak_source(found);
	frontend::removeScene(scene1);
	{
		OBSSourceAutoRelease alive = obs_weak_source_get_source(weak);
		EXPECT_EQ(sourceName(alive), "Scene 1");
	}
	found = nullptr;
	OBSSourceAutoRelease gone = obs_weak_source_get_source(weak);
	EXPECT_EQ(gone.Get(), nullptr);
}

TEST_F(SceneLookupTest, ProgramDuplicateIsTheSameNamedSceneOnChannelZero)
{
	obs_source_t *a = frontend::addScene("A");
	obs_source_t *b = frontend::addScene("B");
	obs_source_t *aCopy = obs_scene_get_source(privateScene("A"));
	obs_source_t *bCopy = obs_scene_get_source(privateScene("B"));
	obs_source_t *other = obs_scene_get_source(privateScene("Other"));
	obs_source_t *inputA = source("A");
	OBSSourceAutoRelease transition = obs_source_create_private(
		TEST_TRANSITION_KIND, "Fade", nullptr);
	ASSERT_TRUE(transition);
	ASSERT_EQ(obs_source_get_type(transition), OBS_SOURCE_TYPE_TRANSITION);

	enum Channel { Empty, Transition, Direct };
	struct Case {
		const char *what;
		bool studio;
		obs_source_t *given;
		Channel channel;
		obs_source_t *shown;
		obs_source_t *expected;
	};
	const std::vector<Case> cases = {
		{"studio mode on", true, a, Transition, aCopy, aCopy},
		{"studio mode off", false, a, Transition, aCopy, nullptr},
		{"null scene", true, nullptr, Transition, aCopy, nullptr},
		{"not the current scene", true, b, Transition, bCopy, nullptr},
		{"nothing on channel 0", true, a, Empty, nullptr, nullptr},
		{"a scene, not a transition, on channel 0", true, a, Direct,
		 aCopy, nullptr},
		{"transition shows nothing", true, a, Transition, nullptr,
		 nullptr},
		{"transition shows another name", true, a, Transition, other,
		 nullptr},
		{"transition shows the scene itself", true, a, Transition, a,
		 nullptr},
		{"transition shows an input of that name", true, a, Transition,
		 inputA, nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		frontend::setStudioMode(c.studio);
		obs_transition_set(transition, c.shown);
		obs_set_output_source(0, c.channel == Empty ? nullptr
					 : c.channel == Direct
						 ? c.shown
						 : transition.Get());
		OBSSourceAutoRelease duplicate = programDuplicate(c.given);
		EXPECT_EQ(duplicate.Get(), c.expected);
	}
	obs_set_output_source(0, nullptr);
	obs_transition_clear(transition);
}

TEST_F(SceneLookupTest, FindItemsInAllScenesWalksTheFrontEndListThenTheCopy)
{
	obs_scene_t *s1 = obs_scene_from_source(frontend::addScene("S1"));
	obs_scene_t *s2 = obs_scene_from_source(frontend::addScene("S2"));
	obs_scene_t *s3 = obs_scene_from_source(frontend::addScene("S3"));
	obs_scene_t *s4 = obs_scene_from_source(frontend::addScene("S4"));
	add(s1, "Cam", "S1 Cam");
	add(s2, "Other", "S2 Other");
	addGroup(s3, "G", "S3 G", {"Cam"});
	add(s4, "Cam", "S4 Cam#1");
	add(s4, "Cam", "S4 Cam#2");
	// A scene libobs knows that the front-end does not list.
	obs_scene_t *unlisted = unlistedScene("Unlisted");
	add(unlisted, "Cam", "Unlisted Cam");
	OBSSceneAutoRelease copy =
		obs_scene_duplicate(s1, "S1", OBS_SCENE_DUP_PRIVATE_REFS);
	labels[obs_scene_find_source(copy, "Cam")] = "S1 copy Cam";

	OBSSourceAutoRelease transition = obs_source_create_private(
		TEST_TRANSITION_KIND, "Fade", nullptr);
	obs_transition_set(transition, obs_scene_get_source(copy));
	obs_set_output_source(0, transition);

	const std::vector<std::string> frontEndScenes = {
		"S1 Cam", "S3 G > Cam", "S4 Cam#1", "S4 Cam#2"};
	EXPECT_EQ(describe(findItemsInAllScenes("Cam")), frontEndScenes);

	frontend::setStudioMode(true);
	std::vector<std::string> withCopy = frontEndScenes;
	withCopy.push_back("S1 copy Cam");
	EXPECT_EQ(describe(findItemsInAllScenes("Cam")), withCopy);
	EXPECT_EQ(describe(findItemsInAllScenes("G/Cam")),
		  (std::vector<std::string>{"S3 G > Cam"}));
	EXPECT_TRUE(findItemsInAllScenes("cam").empty());

	obs_set_output_source(0, nullptr);
	obs_transition_clear(transition);
}
TEST_F(SceneLookupTest, ProgramCopyOfAWindowIsMarkedWhileTheCopyMatches)
{
	obs_source_t *main = frontend::addScene("Main");
	obs_scene_t *scene = obs_scene_from_source(main);
	add(scene, "Game", "Game");
	add(scene, "Cam", "Cam");
	obs_sceneitem_t *window = add(scene, "Cam", "Cam window");
	markDualPovWindow(window);
	OBSSourceAutoRelease transition = obs_source_create_private(
		TEST_TRANSITION_KIND, "Fade", nullptr);
	obs_set_output_source(0, transition);
	frontend::setProgramScene(main);
	frontend::setStudioMode(true);

	struct Case {
		const char *what;
		bool editedFirst; // the original changed after the copy
		std::vector<bool> marked;
	};
	const std::vector<Case> cases = {
		{"a new copy", false, {false, false, true}},
		{"the original edited since", true, {false, false, false}},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		OBSSceneAutoRelease copy = obs_scene_duplicate(
			scene, "Main", OBS_SCENE_DUP_PRIVATE_REFS);
		// As libobs 29 leaves them (30 and later copy the marker).
		for (const SceneItemRef &item : sceneItems(copy))
			markDualPovWindow(item, false);
		obs_sceneitem_t *added = nullptr;
		if (c.editedFirst)
			added = obs_scene_add(scene, source("Other"));
		obs_transition_set(transition, obs_scene_get_source(copy));

		OBSSourceAutoRelease found = programDuplicate(main);
		ASSERT_EQ(found.Get(), obs_scene_get_source(copy));
		std::vector<bool> marked;
		for (const SceneItemRef &item : sceneItems(copy))
			marked.push_back(isDualPovWindow(item));
		EXPECT_EQ(marked, c.marked);
		EXPECT_EQ(findItemsByName(copy, "Cam").size(),
			  c.marked[2] ? 1u : 2u);
		if (added)
			obs_sceneitem_remove(added);
	}
	obs_set_output_source(0, nullptr);
	obs_transition_clear(transition);
}

} // namespace
