#include <gtest/gtest.h>

#include <obs.hpp>

#include <QJsonObject>

#include <thread>

#include "frontend_double.h"
#include "loaded_module.h"
#include "module/event_relay.h"
#include "module/module_state.h"
#include "server/link_server.h"
#include "test_kinds.h"
#include "wait.h"

namespace {
class EventRelay : public LoadedModule {
protected:
	void SetUp() override
	{
		LoadedModule::SetUp();
		load();
		ASSERT_TRUE(linked.openAndLink(port, "tok"));
		ASSERT_TRUE(stranger.open(port));
	}

	// Everything the linked client receives within `ms`.
	QList<QJsonObject> receivedWithin(int ms)
	{
		pumpEvents(ms);
		QList<QJsonObject> all = linked.messages;
		linked.messages.clear();
		return all;
	}

	WsClient linked;
	WsClient stranger;
};

QJsonObject event(const char *name, QJsonObject members = QJsonObject())
{
	members.insert("op", "event");
	members.insert("event", name);
	return members;
}
}

TEST_F(EventRelay, EachHostEventSendsItsMessage)
{
	frontend::addScene("Scene A");
	frontend::setLastReplay("/videos/Replay 1.mkv");
	const struct {
		obs_frontend_event event;
		QJsonObject expected;
	} cases[] = {
		{OBS_FRONTEND_EVENT_STREAMING_STARTED, event("stream.started")},
		{OBS_FRONTEND_EVENT_STREAMING_STOPPED, event("stream.stopped")},
		{OBS_FRONTEND_EVENT_RECORDING_STARTED, event("record.started")},
		{OBS_FRONTEND_EVENT_RECORDING_STOPPED, event("record.stopped")},
		{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTED,
		 event("replay.started")},
		{OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPED,
		 event("replay.stopped")},
		{OBS_FRONTEND_EVENT_REPLAY_BUFFER_SAVED,
		 event("replay.saved", {{"path", "/videos/Replay 1.mkv"}})},
		{OBS_FRONTEND_EVENT_SCENE_CHANGED,
		 event("scene.changed", {{"name", "Scene A"}})},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(
			c.expected.value("event").toString().toStdString());
		frontend::fireEvent(c.event);
		EXPECT_EQ(linked.next(), c.expected);
	}
	EXPECT_TRUE(receivedWithin(50).isEmpty());
	EXPECT_TRUE(stranger.messages.isEmpty());
}

TEST_F(EventRelay, MissingSceneAndReplayPathGiveEmptyText)
{
	frontend::setLastReplay(nullptr);
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(linked.next(), event("scene.changed", {{"name", ""}}));
	frontend::fireEvent(OBS_FRONTEND_EVENT_REPLAY_BUFFER_SAVED);
	EXPECT_EQ(linked.next(), event("replay.saved", {{"path", ""}}));
}

TEST_F(EventRelay, OtherHostEventsSendNothing)
{
	const obs_frontend_event silent[] = {
		OBS_FRONTEND_EVENT_STREAMING_STARTING,
		OBS_FRONTEND_EVENT_STREAMING_STOPPING,
		OBS_FRONTEND_EVENT_RECORDING_STARTING,
		OBS_FRONTEND_EVENT_RECORDING_STOPPING,
		OBS_FRONTEND_EVENT_TRANSITION_CHANGED,
		OBS_FRONTEND_EVENT_PROFILE_CHANGED,
		OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTING,
		OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPING,
		OBS_FRONTEND_EVENT_STUDIO_MODE_ENABLED,
		OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED,
		OBS_FRONTEND_EVENT_RECORDING_PAUSED,
		OBS_FRONTEND_EVENT_VIRTUALCAM_STARTED,
		OBS_FRONTEND_EVENT_PROFILE_CHANGING,
		static_cast<obs_frontend_event>(35),
		// The largest value this enumeration can hold.
		static_cast<obs_frontend_event>(63),
	};
	for (obs_frontend_event e : silent)
		frontend::fireEvent(e);
	EXPECT_TRUE(receivedWithin(350).isEmpty());
}

TEST_F(EventRelay, SceneListChangesAreCoalesced)
{
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED);
	frontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED);
	EXPECT_EQ(receivedWithin(400),
		  QList<QJsonObject>{event("scenes.changed")});
}

TEST_F(EventRelay, NoScenesChangedWhileACollectionIsSwapped)
{
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING);
	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED);
	{
		OBSSourceAutoRelease input = obs_source_create(
			TEST_FEED_KIND, "Cam", nullptr, nullptr);
		obs_source_set_name(input, "Cam 2");
	}
	EXPECT_TRUE(receivedWithin(350).isEmpty());

	frontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
	EXPECT_EQ(receivedWithin(400),
		  QList<QJsonObject>{event("scenes.changed")});
}

TEST_F(EventRelay, RenamesOfInputsAndScenesButNotFilters)
{
	OBSSourceAutoRelease input =
		obs_source_create(TEST_FEED_KIND, "Cam", nullptr, nullptr);
	OBSSourceAutoRelease filter = obs_source_create(
		TEST_COLOR_FILTER_KIND, "Tint", nullptr, nullptr);
	obs_source_t *scene = frontend::addScene("Scene A");

	obs_source_set_name(filter, "Tint 2");
	EXPECT_TRUE(receivedWithin(350).isEmpty());

	// Three renames within 100 ms: one event.
	OBSSourceAutoRelease second =
		obs_source_create(TEST_FEED_KIND, "Mic", nullptr, nullptr);
	obs_source_set_name(input, "Cam 2");
	obs_source_set_name(second, "Mic 2");
	obs_source_set_name(scene, "Scene B");
	EXPECT_EQ(receivedWithin(400),
		  QList<QJsonObject>{event("scenes.changed")});

	// A rename on another thread reaches the link all the same.
	std::thread([&] { obs_source_set_name(input, "Cam 3"); }).join();
	EXPECT_EQ(receivedWithin(400),
		  QList<QJsonObject>{event("scenes.changed")});
}

TEST_F(EventRelay, ExitSendsObsExitThenClosesTheLinks)
{
	frontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
	EXPECT_EQ(linked.next(), event("obs.exit"));
	EXPECT_TRUE(linked.waitDisconnected());
	EXPECT_TRUE(stranger.waitDisconnected());
	EXPECT_TRUE(stranger.messages.isEmpty());
	EXPECT_FALSE(moduleState().linkServer->isListening());

	// The callback goes at the exit event: OBS 30 and later remove their
	// front-end API right after it, before modules unload.
	EXPECT_EQ(frontend::eventCallbackCount(), 0u);
	unload();
	EXPECT_EQ(frontend::strayCallbackRemovals(), 0);
}

TEST_F(EventRelay, LateCallbacksAfterUnloadDoNothing)
{
	OBSSourceAutoRelease input =
		obs_source_create(TEST_FEED_KIND, "Cam", nullptr, nullptr);
	unload();
	EXPECT_TRUE(linked.waitDisconnected());
	EXPECT_EQ(frontend::eventCallbackCount(), 0u);

	onFrontendEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED, nullptr);
	onFrontendEvent(OBS_FRONTEND_EVENT_EXIT, nullptr);
	queueScenesChanged();
	obs_source_set_name(input, "Cam 2");
	pumpEvents(300);
	EXPECT_TRUE(linked.messages.isEmpty());
}
