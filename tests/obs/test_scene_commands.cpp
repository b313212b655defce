#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>
#include <thread>
#include <string>
#include <vector>

#include "duplicates.h"
#include "feed_sources.h"
#include "frontend_double.h"
#include "log_capture.h"
#include "obs/scene_commands.h"
#include "obs/scene_lookup.h"
#include "obs_fixture.h"
#include "server/command_table.h"
#include "test_kinds.h"
#include "wait.h"

namespace {
std::string json(const QJsonObject &object)
{
	return QJsonDocument(object)
		.toJson(QJsonDocument::Compact)
		.toStdString();
}

QJsonObject parse(const char *text)
{
	return QJsonDocument::fromJson(text).object();
}

// The plug-in's own log lines, as "<level> <text>".
std::vector<std::string> linkLines()
{
	std::vector<std::string> out;
	for (const LogLine &line : capturedLog())
		if (line.text.rfind("[tessil-link]", 0) == 0)
			out.push_back(std::to_string(line.level) + " " +
				      line.text);
	return out;
}

void recordEvent(obs_frontend_event event, void *param)
{
	static_cast<std::vector<obs_frontend_event> *>(param)->push_back(event);
}

class SceneCommandTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		if (HasFatalFailure())
			return;
		obs_frontend_add_event_callback(recordEvent, &events);
	}

	void TearDown() override
	{
		obs_set_output_source(0, nullptr);
		if (transition)
			obs_transition_clear(transition);
		transition = nullptr;
		feeds.clear();
		ObsTest::TearDown();
	}

	obs_source_t *feed(const std::string &name) { return feeds.get(name); }

	obs_sceneitem_t *add(obs_source_t *scene, const std::string &name)
	{
		return obs_scene_add(obs_scene_from_source(scene), feed(name));
	}

	// A group holding one item of each named source, bottom to top. Its
	// name may repeat.
	obs_sceneitem_t *addGroup(obs_source_t *sceneSource, const char *name,
				  const std::vector<std::string> &children)
	{
		obs_scene_t *scene = obs_scene_from_source(sceneSource);
		obs_sceneitem_t *group = duplicates::addGroup(scene, name);
		for (const std::string &child : children)
			obs_sceneitem_group_add_item(
				group, obs_scene_add(scene, feed(child)));
		// Adding to a group moves the item: find the moved ones.
		obs_scene_t *inner = obs_sceneitem_group_get_scene(group);
		for (const std::string &child : children)
			obs_sceneitem_set_order(
				obs_scene_find_source(inner, child.c_str()),
				OBS_ORDER_MOVE_TOP);
		return group;
	}

	static void markDualPovWindow(obs_sceneitem_t *item)
	{
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(item);
		obs_data_set_bool(settings, DUAL_POV_MARKER, true);
	}

	// Puts a manual transition on output channel 0 and waits until the
	// video thread has brought its time to `time`.
	bool holdTransitionAt(float time, obs_source_t *from, obs_source_t *to)
	{
		if (!transition)
			transition = obs_source_create_private(
				TEST_TRANSITION_KIND, "Fade", nullptr);
		obs_set_output_source(0, transition);
		obs_transition_force_stop(transition);
		obs_transition_set(transition, from);
		obs_transition_start(transition, OBS_TRANSITION_MODE_MANUAL, 0,
				     to);
		obs_transition_set_manual_torque(transition, 0.0f, 0.0f);
		obs_transition_set_manual_time(transition, time);
		return waitUntil([&] {
			return obs_transition_get_time(transition) == time;
		});
	}

	FeedSources feeds;
	OBSSourceAutoRelease transition;
	std::vector<obs_frontend_event> events;
};

TEST_F(SceneCommandTest, ListsItemsTopMostFirstWithGroupPaths)
{
	// Items are added bottom to top.
	obs_source_t *main = frontend::addScene("Main");
	add(main, "Background");
	add(main, "Cam");
	// libobs names an unnamed public source itself; a private one stays
	// without a name.
	OBSSourceAutoRelease unnamed =
		obs_source_create_private(TEST_FEED_KIND, nullptr, nullptr);
	obs_scene_add(obs_scene_from_source(main), unnamed);
	obs_sceneitem_t *group = addGroup(main, "G", {"B", "A"});
	obs_sceneitem_group_add_item(
		group, obs_scene_add(obs_scene_from_source(main), unnamed));
	add(main, "Cam");
	// Listed as an item already: its children still are.
	addGroup(main, "G2", {"X"});
	add(main, "G2");
	markDualPovWindow(add(main, "Window"));
	markDualPovWindow(addGroup(main, "Marked group", {"Inside"}));
	add(main, "Top");
	frontend::addScene("Empty");
	obs_source_t *second = frontend::addScene("Second");
	add(second, "Cam");
	add(second, "Top");
	frontend::setProgramScene(second);

	const QJsonObject expected{
		{"current", "Second"},
		{"scenes",
		 QJsonArray{
			 QJsonObject{
				 {"name", "Main"},
				 {"items",
				  QJsonArray{"Top", "G2", "G2/X", "Cam", "G",
					     "G/A", "G/B", "Background"}},
			 },
			 QJsonObject{{"name", "Empty"}, {"items", QJsonArray{}}},
			 QJsonObject{{"name", "Second"},
				     {"items", QJsonArray{"Top", "Cam"}}},
		 }},
	};
	EXPECT_EQ(json(listScenes()), json(expected));
}

TEST_F(SceneCommandTest, ListWithoutScenesOrWithoutCurrentScene)
{
	EXPECT_EQ(json(listScenes()), R"({"current":"","scenes":[]})");

	add(frontend::addScene("Scène · 1"), "Caméra");
	frontend::setProgramScene(nullptr);
	EXPECT_EQ(
		json(listScenes()),
		R"({"current":"","scenes":[{"items":["Caméra"],"name":"Scène · 1"}]})");
}

TEST_F(SceneCommandTest, SetSceneSwitchesAndReportsThePreviousScene)
{
	frontend::addScene("A");
	frontend::addScene("B");
	frontend::addScene("Scène");

	// "previous" is the scene current before the command, in every reply.
	struct Case {
		const char *cmd;
		const char *args;
		const char *before; // null: no current scene
		const char *error;
		const char *after;
		const char *switchLogged; // null: no switch, nothing logged
	};
	const std::vector<Case> cases = {
		{"scene.set", R"({"name":"B"})", "A", "", "B", "A -> B"},
		{"scene.current", R"({"name":"B"})", "A", "", "B", "A -> B"},
		{"scene.set", R"({"name":"Scène"})", "A", "", "Scène",
		 "A -> Scène"},
		{"scene.set", R"({"name":"B"})", nullptr, "", "B", " -> B"},
		// Already current: nothing to do.
		{"scene.set", R"({"name":"A"})", "A", "", "A", nullptr},
		{"scene.current", R"({"name":"A"})", "A", "", "A", nullptr},
		// Exact names only.
		{"scene.set", R"({"name":"b"})", "A", "no scene named b", "A",
		 nullptr},
		{"scene.set", R"({"name":"B "})", "A", "no scene named B ", "A",
		 nullptr},
		{"scene.set", R"({"name":"Scene"})", "A",
		 "no scene named Scene", "A", nullptr},
		{"scene.current", R"({"name":"xyz"})", "A",
		 "no scene named xyz", "A", nullptr},
		{"scene.set", R"({"name":"xyz"})", nullptr,
		 "no scene named xyz", nullptr, nullptr},
		{"scene.set", R"({})", "A", "no scene name given", "A",
		 nullptr},
		{"scene.set", R"({"name":""})", "A", "no scene name given", "A",
		 nullptr},
		{"scene.current", R"({"name":7})", "B", "no scene name given",
		 "B", nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string(c.cmd) + " " + c.args);
		OBSSourceAutoRelease before =
			c.before ? findSceneByName(c.before) : nullptr;
		frontend::setProgramScene(before);
		clearCapturedLog();
		events.clear();

		QString error;
		QJsonObject data;
		dispatchCommand(c.cmd, parse(c.args), error, data);

		EXPECT_EQ(error.toStdString(), c.error);
		EXPECT_EQ(json(data),
			  json(QJsonObject{
				  {"previous", c.before ? c.before : ""}}));
		OBSSourceAutoRelease after = obs_frontend_get_current_scene();
		EXPECT_EQ(sourceName(after), c.after ? c.after : "");
		if (c.switchLogged) {
			EXPECT_EQ(linkLines(),
				  std::vector<std::string>{
					  std::string(
						  "300 [tessil-link] scene: ") +
					  c.switchLogged});
			EXPECT_EQ(events,
				  std::vector<obs_frontend_event>{
					  OBS_FRONTEND_EVENT_SCENE_CHANGED});
		} else {
			EXPECT_TRUE(linkLines().empty());
			EXPECT_TRUE(events.empty());
		}
	}
}

// `switchMade` runs once, where OBS starts the transition inside
// obs_frontend_set_current_scene: the one on output channel 0 or a scene's
// own (one of the front-end's transitions). Never for a switch that does not
// happen, for a transition OBS does not use, or for one another thread
// starts meanwhile.
TEST_F(SceneCommandTest, SwitchMadeRunsWhenTheTransitionStarts)
{
	obs_source_t *a = frontend::addScene("A");
	frontend::addScene("B");
	transition = obs_source_create_private(TEST_TRANSITION_KIND, "Fade",
					       nullptr);
	OBSSourceAutoRelease own = obs_source_create_private(
		TEST_TRANSITION_KIND, "Swipe", nullptr);
	OBSSourceAutoRelease unused = obs_source_create_private(
		TEST_TRANSITION_KIND, "Stinger", nullptr);
	obs_set_output_source(0, transition);
	frontend::setTransitions({own});

	struct Case {
		const char *what;
		const char *name;
		obs_source_t *started; // by OBS inside the call; may be null
		int made;
		const char *error;
	};
	const std::vector<Case> cases = {
		{"the transition in use", "B", transition, 1, ""},
		{"the scene's own transition", "B", own, 1, ""},
		// The reply then waits for the end of the call.
		{"no transition", "B", nullptr, 0, ""},
		{"a transition OBS does not use", "B", unused, 0, ""},
		{"already current", "A", transition, 0, ""},
		{"unknown scene", "C", transition, 0, "no scene named C"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		frontend::setProgramScene(a);
		int made = 0;
		std::vector<int> madeInside;
		QJsonObject dataWhenMade;
		QJsonObject data;
		frontend::onSetCurrentScene([&](obs_source_t *scene) {
			std::thread other([&] {
				obs_transition_start(transition,
						     OBS_TRANSITION_MODE_AUTO,
						     0, a);
			});
			other.join();
			madeInside.push_back(made);
			if (c.started) {
				obs_transition_start(c.started,
						     OBS_TRANSITION_MODE_AUTO,
						     0, scene);
				obs_transition_start(c.started,
						     OBS_TRANSITION_MODE_AUTO,
						     0, a);
			}
			madeInside.push_back(made);
		});

		const QString error = setScene(c.name, data, [&] {
			made++;
			dataWhenMade = data;
		});
		EXPECT_EQ(error.toStdString(), c.error);
		EXPECT_EQ(made, c.made);
		if (c.made) {
			EXPECT_EQ(madeInside, (std::vector<int>{0, 1}));
			EXPECT_EQ(json(dataWhenMade), R"({"previous":"A"})");
		}
		// Nothing stays connected.
		obs_transition_start(transition, OBS_TRANSITION_MODE_AUTO, 0,
				     a);
		obs_transition_start(own, OBS_TRANSITION_MODE_AUTO, 0, a);
		EXPECT_EQ(made, c.made);
		frontend::onSetCurrentScene(nullptr);
	}
	obs_set_output_source(0, nullptr);
}

TEST_F(SceneCommandTest, StudioModeRefusesToSwitchDuringATransition)
{
	ASSERT_TRUE(startVideo());
	obs_source_t *a = frontend::addScene("A");
	obs_source_t *b = frontend::addScene("B");
	add(a, "Cam");
	add(b, "Cam");

	enum Channel { Transition, Empty, Scene };
	struct Case {
		const char *what;
		bool studio;
		Channel channel;
		float time;
		const char *name;
		const char *error;
	};
	const char *busy = "OBS is in the middle of a transition; try again";
	const std::vector<Case> cases = {
		{"half-way", true, Transition, 0.5f, "B", busy},
		{"just started", true, Transition, 0.0f, "B", ""},
		{"just ended", true, Transition, 1.0f, "B", ""},
		{"half-way, already current", true, Transition, 0.5f, "A", ""},
		{"half-way, unknown scene", true, Transition, 0.5f, "C",
		 "no scene named C"},
		{"half-way outside studio mode", false, Transition, 0.5f, "B",
		 ""},
		{"nothing on channel 0", true, Empty, 0.0f, "B", ""},
		{"a scene on channel 0", true, Scene, 0.0f, "B", ""},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		if (c.channel == Transition) {
			ASSERT_TRUE(holdTransitionAt(c.time, a, b));
		} else {
			obs_set_output_source(0,
					      c.channel == Scene ? a : nullptr);
		}
		frontend::setStudioMode(c.studio);
		frontend::setProgramScene(a);
		frontend::setPreviewScene(nullptr);
		clearCapturedLog();
		events.clear();

		QString error;
		QJsonObject data;
		dispatchCommand("scene.set", QJsonObject{{"name", c.name}},
				error, data);

		EXPECT_EQ(error.toStdString(), c.error);
		EXPECT_EQ(json(data), R"({"previous":"A"})");
		const bool switched = *c.error == '\0' &&
				      std::string(c.name) != "A";
		EXPECT_EQ(
			linkLines(),
			switched
				? std::vector<
					  std::string>{"300 [tessil-link] scene: A -> B"}
				: std::vector<std::string>{});
		// In studio mode the front-end switches the preview; the
		// program stays until the user transitions.
		OBSSourceAutoRelease program = obs_frontend_get_current_scene();
		OBSSourceAutoRelease preview =
			obs_frontend_get_current_preview_scene();
		if (c.studio) {
			EXPECT_EQ(program.Get(), a);
			EXPECT_EQ(preview.Get(), switched ? b : nullptr);
		} else {
			EXPECT_EQ(program.Get(), switched ? b : a);
		}
		EXPECT_EQ(events.size(), switched ? 1u : 0u);
	}
}
} // namespace
