#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <string>
#include <vector>

#include "feed_sources.h"
#include "frontend_double.h"
#include "obs/item_visibility.h"
#include "obs/scene_lookup.h"
#include "obs_fixture.h"
#include "test_kinds.h"

namespace {
std::string json(const QJsonObject &object)
{
	return QJsonDocument(object)
		.toJson(QJsonDocument::Compact)
		.toStdString();
}

const char *modeName(int mode)
{
	return mode == VisibilityToggle ? "toggle"
	       : mode == VisibilityShow ? "show"
					: "hide";
}

// Scenes "Main" (current) and "Other":
//   Main:  Cam, group G {Mic}, Cam (bottom to top)
//   Other: Logo, Cam
// and a source "Loose" that no scene holds.
class ItemVisibilityTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		if (HasFatalFailure())
			return;
		main = frontend::addScene("Main");
		other = frontend::addScene("Other");
		mainCam1 = add(main, "Cam");
		group = obs_scene_add_group2(obs_scene_from_source(main), "G",
					     false);
		obs_sceneitem_group_add_item(
			group, obs_scene_add(obs_scene_from_source(main),
					     feed("Mic")));
		mainMic = obs_scene_find_source(
			obs_sceneitem_group_get_scene(group), "Mic");
		mainCam2 = add(main, "Cam");
		otherLogo = add(other, "Logo");
		otherCam = add(other, "Cam");
		feed("Loose");
	}

	void TearDown() override
	{
		obs_set_output_source(0, nullptr);
		if (transition)
			obs_transition_clear(transition);
		transition = nullptr;
		copy = nullptr;
		feeds.clear();
		ObsTest::TearDown();
	}

	obs_source_t *feed(const std::string &name) { return feeds.get(name); }

	obs_sceneitem_t *add(obs_source_t *scene, const std::string &name)
	{
		return obs_scene_add(obs_scene_from_source(scene), feed(name));
	}

	// Studio mode's program copy of Main, shown by the transition on
	// output channel 0; returns its Cam items.
	std::vector<obs_sceneitem_t *> makeProgramCopy()
	{
		copy = obs_scene_duplicate(obs_scene_from_source(main), "Main",
					   OBS_SCENE_DUP_PRIVATE_REFS);
		transition = obs_source_create_private(TEST_TRANSITION_KIND,
						       "Fade", nullptr);
		obs_transition_set(transition, obs_scene_get_source(copy));
		obs_set_output_source(0, transition);
		std::vector<obs_sceneitem_t *> cams;
		for (const SceneItemRef &item : sceneItems(copy))
			if (itemSourceName(item) == "Cam")
				cams.push_back(item);
		return cams;
	}

	std::vector<obs_sceneitem_t *> allItems() const
	{
		return {mainCam1, mainMic, mainCam2, otherLogo, otherCam};
	}

	std::vector<bool>
	visibility(const std::vector<obs_sceneitem_t *> &items) const
	{
		std::vector<bool> out;
		for (obs_sceneitem_t *item : items)
			out.push_back(obs_sceneitem_visible(item));
		return out;
	}

	static void setVisibility(const std::vector<obs_sceneitem_t *> &items,
				  const std::vector<bool> &states)
	{
		for (size_t i = 0; i < items.size(); i++)
			obs_sceneitem_set_visible(items[i], states[i]);
	}

	FeedSources feeds;
	obs_source_t *main = nullptr;
	obs_source_t *other = nullptr;
	obs_sceneitem_t *mainCam1 = nullptr;
	obs_sceneitem_t *group = nullptr;
	obs_sceneitem_t *mainMic = nullptr;
	obs_sceneitem_t *mainCam2 = nullptr;
	obs_sceneitem_t *otherLogo = nullptr;
	obs_sceneitem_t *otherCam = nullptr;
	OBSSceneAutoRelease copy;
	OBSSourceAutoRelease transition;
};

TEST_F(ItemVisibilityTest, FailuresChangeNothingAndReportNotFound)
{
	struct Case {
		const char *scene;
		const char *name;
		bool allScenes;
		bool noCurrentScene;
		const char *error;
	};
	const std::vector<Case> cases = {
		{"", "", false, false, "no source name given"},
		{"Main", "", true, false, "no source name given"},
		{"", "", false, true, "no source name given"},
		{"Nope", "Cam", false, false, "no scene named Nope"},
		{"main", "Cam", false, false, "no scene named main"},
		{"Main ", "Cam", false, true, "no scene named Main "},
		{"", "Cam", false, true, "no current scene"},
		// The scene's actual name, also when taken by default.
		{"", "Logo", false, false,
		 "no source named Logo in scene Main"},
		{"Other", "Mic", false, false,
		 "no source named Mic in scene Other"},
		{"Main", "cam", false, false,
		 "no source named cam in scene Main"},
		{"", "Loose", false, false,
		 "no source named Loose in scene Main"},
		{"", "Other/Cam", false, false,
		 "no source named Other/Cam in scene Main"},
		// Every scene; the scene name is not even looked up.
		{"", "Ghost", true, false,
		 "no source named Ghost in any scene"},
		{"Nope", "Ghost", true, false,
		 "no source named Ghost in any scene"},
		{"", "Loose", true, true, "no source named Loose in any scene"},
		{"Main", "Cam ", true, false,
		 "no source named Cam  in any scene"},
	};
	const std::vector<bool> before = {true, false, true, false, true};
	setVisibility(allItems(), before);
	for (const Case &c : cases) {
		frontend::setProgramScene(c.noCurrentScene ? nullptr : main);
		for (int mode :
		     {VisibilityToggle, VisibilityHide, VisibilityShow}) {
			SCOPED_TRACE(std::string(modeName(mode)) + " \"" +
				     c.name + "\" in \"" + c.scene + "\"" +
				     (c.allScenes ? " (all scenes)" : ""));
			QJsonObject data;
			const QString error =
				setItemVisible(QString::fromUtf8(c.scene),
					       QString::fromUtf8(c.name), mode,
					       c.allScenes, data);
			EXPECT_EQ(error.toStdString(), c.error);
			EXPECT_EQ(json(data), R"({"found":false})");
			EXPECT_EQ(visibility(allItems()), before);
		}
	}
}

TEST_F(ItemVisibilityTest, EveryMatchFollowsTheFirstMatch)
{
	// Main's two Cam items, in the order they are found.
	const std::vector<obs_sceneitem_t *> cams = {mainCam1, mainCam2};
	struct Case {
		std::vector<bool> before;
		int mode;
		bool applied;
	};
	const std::vector<Case> cases = {
		{{false, true}, VisibilityToggle, true},
		{{true, false}, VisibilityToggle, false},
		{{true, true}, VisibilityToggle, false},
		{{false, false}, VisibilityToggle, true},
		{{false, true}, VisibilityShow, true},
		{{true, true}, VisibilityShow, true},
		{{true, false}, VisibilityHide, false},
		{{false, false}, VisibilityHide, false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string(modeName(c.mode)) + " from " +
			     (c.before[0] ? "shown" : "hidden") + ", " +
			     (c.before[1] ? "shown" : "hidden"));
		setVisibility(cams, c.before);
		obs_sceneitem_set_visible(otherCam, true);
		QJsonObject data;
		EXPECT_EQ(setItemVisible("", "Cam", c.mode, false, data), "");
		EXPECT_EQ(json(data),
			  c.applied ? R"({"found":true,"visible":true})"
				    : R"({"found":true,"visible":false})");
		EXPECT_EQ(visibility(cams), std::vector<bool>(2, c.applied));
		// Another scene's item of that source is not this scene's.
		EXPECT_TRUE(obs_sceneitem_visible(otherCam));
	}
}

TEST_F(ItemVisibilityTest, GroupChildrenAndOtherScenesByName)
{
	struct Case {
		const char *scene;
		const char *name;
		obs_sceneitem_t *item;
	};
	const std::vector<Case> cases = {
		{"", "G/Mic", mainMic},
		{"", "Mic", mainMic},
		{"Main", "G", group},
		{"Other", "Logo", otherLogo},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string(c.name) + " in \"" + c.scene + "\"");
		setVisibility(allItems(), std::vector<bool>(5, true));
		obs_sceneitem_set_visible(group, true);
		QJsonObject data;
		EXPECT_EQ(setItemVisible(c.scene, c.name, VisibilityHide, false,
					 data),
			  "");
		EXPECT_EQ(json(data), R"({"found":true,"visible":false})");
		EXPECT_FALSE(obs_sceneitem_visible(c.item));
		for (obs_sceneitem_t *item : allItems()) {
			if (item != c.item && item != mainMic) {
				EXPECT_TRUE(obs_sceneitem_visible(item));
			}
		}
	}
}

TEST_F(ItemVisibilityTest, AllScenesMutesWhatItHidesOneSceneLeavesMuteAlone)
{
	obs_sceneitem_t *otherGroupCam = nullptr;
	{
		obs_sceneitem_t *otherGroup = obs_scene_add_group2(
			obs_scene_from_source(other), "G", false);
		obs_sceneitem_group_add_item(
			otherGroup, obs_scene_add(obs_scene_from_source(other),
						  feed("Cam")));
		otherGroupCam = obs_scene_find_source(
			obs_sceneitem_group_get_scene(otherGroup), "Cam");
	}
	const std::vector<obs_sceneitem_t *> everyCam = {mainCam1, mainCam2,
							 otherCam};
	obs_source_t *cam = feed("Cam");

	struct Step {
		const char *scene;
		int mode;
		bool allScenes;
		bool mutedBefore;
		bool applied;
		std::vector<bool> visibleAfter; // Main's two, Other's top one
		bool mutedAfter;
	};
	const std::vector<Step> steps = {
		// The scene name is ignored, even one that does not exist.
		{"Nope",
		 VisibilityHide,
		 true,
		 false,
		 false,
		 {false, false, false},
		 true},
		{"", VisibilityShow, true, true, true, {true, true, true}, false},
		{"Other",
		 VisibilityToggle,
		 true,
		 false,
		 false,
		 {false, false, false},
		 true},
		// One scene: the mute state stays whatever it was.
		{"",
		 VisibilityShow,
		 false,
		 true,
		 true,
		 {true, true, false},
		 true},
		{"",
		 VisibilityHide,
		 false,
		 false,
		 false,
		 {false, false, false},
		 false},
		{"Other",
		 VisibilityShow,
		 false,
		 true,
		 true,
		 {false, false, true},
		 true},
	};
	for (size_t i = 0; i < steps.size(); i++) {
		const Step &s = steps[i];
		SCOPED_TRACE("step " + std::to_string(i));
		obs_source_set_muted(cam, s.mutedBefore);
		obs_sceneitem_set_visible(otherGroupCam, true);
		QJsonObject data;
		EXPECT_EQ(setItemVisible(s.scene, "Cam", s.mode, s.allScenes,
					 data),
			  "");
		EXPECT_EQ(json(data),
			  s.applied ? R"({"found":true,"visible":true})"
				    : R"({"found":true,"visible":false})");
		EXPECT_EQ(visibility(everyCam), s.visibleAfter);
		// Top-level matches decide in each scene: the group's child
		// is not one of them.
		EXPECT_TRUE(obs_sceneitem_visible(otherGroupCam));
		EXPECT_EQ(obs_source_muted(cam), s.mutedAfter);
	}
}

TEST_F(ItemVisibilityTest, StudioModeAlsoChangesTheProgramCopy)
{
	const std::vector<obs_sceneitem_t *> copyCams = makeProgramCopy();
	ASSERT_EQ(copyCams.size(), 2u);
	const std::vector<obs_sceneitem_t *> items = {
		mainCam1, mainCam2, copyCams[0], copyCams[1], otherCam};

	// States as text, one character per item of `items`: 1 shown, 0 hidden.
	struct Case {
		const char *what;
		bool studio;
		const char *scene;
		int mode;
		bool allScenes;
		const char *before;
		const char *after;
		bool applied;
	};
	const std::vector<Case> cases = {
		{"current scene by default", true, "", VisibilityHide, false,
		 "11111", "00001", false},
		{"current scene by name", true, "Main", VisibilityHide, false,
		 "11111", "00001", false},
		{"toggle follows the scene's own first item", true, "",
		 VisibilityToggle, false, "10001", "00001", false},
		{"another scene has no copy", true, "Other", VisibilityHide,
		 false, "11111", "11110", false},
		{"all scenes", true, "", VisibilityShow, true, "00000", "11111",
		 true},
		{"studio mode off", false, "", VisibilityHide, false, "11111",
		 "00111", false},
		{"studio mode off, all scenes", false, "", VisibilityHide, true,
		 "11111", "00110", false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		frontend::setStudioMode(c.studio);
		for (size_t i = 0; i < items.size(); i++)
			obs_sceneitem_set_visible(items[i], c.before[i] == '1');
		QJsonObject data;
		EXPECT_EQ(setItemVisible(c.scene, "Cam", c.mode, c.allScenes,
					 data),
			  "");
		EXPECT_EQ(json(data),
			  c.applied ? R"({"found":true,"visible":true})"
				    : R"({"found":true,"visible":false})");
		std::string after;
		for (bool shown : visibility(items))
			after += shown ? '1' : '0';
		EXPECT_EQ(after, c.after);
	}
}

TEST_F(ItemVisibilityTest, DualPovWindowIsNotMatchedAtTopLevel)
{
	OBSDataAutoRelease marker = obs_data_create();
	obs_data_set_bool(marker, DUAL_POV_MARKER, true);
	// A window of Logo in Main, below everything else.
	obs_sceneitem_t *window = add(main, "Logo");
	obs_sceneitem_set_order(window, OBS_ORDER_MOVE_BOTTOM);
	obs_sceneitem_t *mainLogo = add(main, "Logo");
	{
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(window);
		obs_data_apply(settings, marker);
	}

	// The window comes first in the scene but is not the first match.
	obs_sceneitem_set_visible(window, true);
	obs_sceneitem_set_visible(mainLogo, true);
	QJsonObject data;
	EXPECT_EQ(setItemVisible("", "Logo", VisibilityToggle, false, data),
		  "");
	EXPECT_EQ(json(data), R"({"found":true,"visible":false})");
	EXPECT_FALSE(obs_sceneitem_visible(mainLogo));
	EXPECT_TRUE(obs_sceneitem_visible(window));

	// With only the window left, nothing is found.
	obs_sceneitem_remove(mainLogo);
	data = QJsonObject();
	EXPECT_EQ(setItemVisible("", "Logo", VisibilityHide, false, data),
		  "no source named Logo in scene Main");
	EXPECT_EQ(json(data), R"({"found":false})");
	EXPECT_TRUE(obs_sceneitem_visible(window));
}
} // namespace
