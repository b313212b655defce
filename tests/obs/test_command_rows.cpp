#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

#include "frontend_double.h"
#include "log_capture.h"
#include "obs/scene_commands.h"
#include "obs_fixture.h"
#include "server/command_table.h"
#include "test_kinds.h"

// The command rows of the scene, item and overlay commands: how each reads
// its arguments before the handler runs.

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

struct Reply {
	std::string error;
	std::string data;
};

Reply run(const char *cmd, const QJsonObject &args)
{
	QString error;
	QJsonObject data;
	dispatchCommand(cmd, args, error, data);
	return {error.toStdString(), json(data)};
}

// Scene "Main" (current) holding a shown, unmuted "Cam"; "Other" holds a
// "Cam" too.
class CommandRowTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		if (HasFatalFailure())
			return;
		cam = obs_source_create(TEST_FEED_KIND, "Cam", nullptr,
					nullptr);
		mainCam = obs_scene_add(
			obs_scene_from_source(frontend::addScene("Main")), cam);
		otherCam = obs_scene_add(
			obs_scene_from_source(frontend::addScene("Other")),
			cam);
	}

	void TearDown() override
	{
		cam = nullptr;
		ObsTest::TearDown();
	}

	OBSSourceAutoRelease cam;
	obs_sceneitem_t *mainCam = nullptr;
	obs_sceneitem_t *otherCam = nullptr;
};

TEST_F(CommandRowTest, ItemVisibleNeedsABooleanVisibleOrATrueToggle)
{
	const std::string needs =
		R"(item.visible needs "visible": true or false, or "toggle": true)";
	struct Case {
		const char *args;
		const char *error;
		const char *data;
		bool mainShown;
		bool otherShown;
		bool muted;
	};
	const std::vector<Case> cases = {
		// The check: no handler runs, no data.
		{R"({})", needs.c_str(), "{}", true, true, false},
		{R"({"name":"Cam"})", needs.c_str(), "{}", true, true, false},
		{R"({"name":"Cam","visible":"true"})", needs.c_str(), "{}",
		 true, true, false},
		{R"({"name":"Cam","visible":"false"})", needs.c_str(), "{}",
		 true, true, false},
		{R"({"name":"Cam","visible":1})", needs.c_str(), "{}", true,
		 true, false},
		{R"({"name":"Cam","visible":0})", needs.c_str(), "{}", true,
		 true, false},
		{R"({"name":"Cam","visible":null})", needs.c_str(), "{}", true,
		 true, false},
		{R"({"name":"Cam","toggle":false})", needs.c_str(), "{}", true,
		 true, false},
		{R"({"name":"Cam","toggle":"true","visible":"false"})",
		 needs.c_str(), "{}", true, true, false},
		{R"({"name":"Cam","toggle":1,"allScenes":true})", needs.c_str(),
		 "{}", true, true, false},
		// A boolean "visible".
		{R"({"name":"Cam","visible":false})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","visible":true})", "",
		 R"({"found":true,"visible":true})", true, true, false},
		{R"({"name":"Cam","visible":false,"toggle":false})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","visible":false,"toggle":"true"})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		// A true "toggle" wins over whatever "visible" says.
		{R"({"name":"Cam","toggle":true})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","toggle":true,"visible":true})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","toggle":true,"visible":"x"})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		// "allScenes" is true only as JSON true.
		{R"({"name":"Cam","visible":false,"allScenes":true})", "",
		 R"({"found":true,"visible":false})", false, false, true},
		{R"({"name":"Cam","visible":false,"allScenes":"true"})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","visible":false,"allScenes":1})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		// "name" and "scene" are text, anything else is empty.
		{R"({"visible":true})", "no source name given",
		 R"({"found":false})", true, true, false},
		{R"({"name":5,"visible":false})", "no source name given",
		 R"({"found":false})", true, true, false},
		{R"({"name":"Cam","visible":false,"scene":"Other"})", "",
		 R"({"found":true,"visible":false})", true, false, false},
		{R"({"name":"Cam","visible":false,"scene":7})", "",
		 R"({"found":true,"visible":false})", false, true, false},
		{R"({"name":"Cam","visible":false,"scene":"Nope"})",
		 "no scene named Nope", R"({"found":false})", true, true,
		 false},
		{R"({"name":"Ghost","visible":false,"scene":"Nope","allScenes":true})",
		 "no source named Ghost in any scene", R"({"found":false})",
		 true, true, false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.args);
		obs_sceneitem_set_visible(mainCam, true);
		obs_sceneitem_set_visible(otherCam, true);
		obs_source_set_muted(cam, false);

		const Reply reply = run("item.visible", parse(c.args));
		EXPECT_EQ(reply.error, c.error);
		EXPECT_EQ(reply.data, c.data);
		EXPECT_EQ(obs_sceneitem_visible(mainCam), c.mainShown);
		EXPECT_EQ(obs_sceneitem_visible(otherCam), c.otherShown);
		EXPECT_EQ(obs_source_muted(cam), c.muted);
	}
}

TEST_F(CommandRowTest, OverlaysInstallTakesOnlyAnArray)
{
	struct Case {
		const char *args;
		const char *data;
	};
	const std::vector<Case> cases = {
		{R"({"sources":{"name":"Chat","url":"http://a/"}})",
		 R"({"added":0,"updated":0})"},
		{R"({"sources":[{"name":"Chat","url":"http://a/"}]})",
		 R"({"added":1,"updated":0})"},
		{R"({"sources":"Chat"})", R"({"added":0,"updated":0})"},
		{R"({})", R"({"added":0,"updated":0})"},
		{R"({"sources":[{"name":"Chat","url":"http://b/"}]})",
		 R"({"added":0,"updated":1})"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.args);
		const Reply reply = run("overlays.install", parse(c.args));
		EXPECT_EQ(reply.error, "");
		EXPECT_EQ(reply.data, c.data);
	}
	EXPECT_EQ(countLogLines(LOG_INFO,
				"[tessil-link] overlays: 0 added, 0 updated"),
		  3);
}

TEST_F(CommandRowTest, ScenesListAnswersTheListing)
{
	const Reply reply = run("scenes.list", parse(R"({"ignored":1})"));
	EXPECT_EQ(reply.error, "");
	EXPECT_EQ(reply.data, json(listScenes()));
	EXPECT_EQ(
		reply.data,
		R"({"current":"Main","scenes":[{"items":["Cam"],"name":"Main"},{"items":["Cam"],"name":"Other"}]})");
}
} // namespace
