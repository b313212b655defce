#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

#include "config/link_config.h"
#include "frontend_double.h"
#include "obs/status.h"
#include "obs_fixture.h"
#include "pov/pov_flags.h"

namespace {
std::string json(const QJsonObject &object)
{
	return QJsonDocument(object)
		.toJson(QJsonDocument::Compact)
		.toStdString();
}

struct StatusCase {
	const char *label;
	bool streaming;
	bool recording;
	bool replayBuffer;
	bool povShown;
	bool dualShown;
	const char *scene; // null: no current scene
	std::vector<std::string> povSources;
	uint32_t videoWidth; // 0: no video
	uint32_t videoHeight;
};

class StatusTest : public ObsTest,
		   public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, ReportsEveryMember)
{
	const StatusCase &c = GetParam();
	if (c.videoWidth) {
		ASSERT_TRUE(startVideo(c.videoWidth, c.videoHeight));
	}
	if (c.scene) {
		frontend::addScene("Not current");
		frontend::setProgramScene(frontend::addScene(c.scene));
	}
	frontend::setStreaming(c.streaming);
	frontend::setRecording(c.recording);
	frontend::setReplayBufferActive(c.replayBuffer);
	povFlags().povShown = c.povShown;
	povFlags().dualShown = c.dualShown;
	linkConfig().povSources = c.povSources;

	QJsonArray povSources;
	for (const std::string &name : c.povSources)
		povSources.append(QString::fromStdString(name));
	QJsonObject expected{
		{"streaming", c.streaming},
		{"recording", c.recording},
		{"replayBuffer", c.replayBuffer},
		{"canvas",
		 QJsonObject{{"w", int(c.videoWidth ? c.videoWidth : 1920)},
			     {"h", int(c.videoHeight ? c.videoHeight : 1080)}}},
		{"povShown", c.povShown},
		{"dualShown", c.dualShown},
		{"povSources", povSources},
	};
	if (c.scene)
		expected.insert("scene", QString::fromUtf8(c.scene));

	const QJsonObject status = statusData();
	EXPECT_EQ(json(status), json(expected));
	EXPECT_EQ(status.contains("scene"), c.scene != nullptr);
	EXPECT_TRUE(status.value("povSources").isArray());
	EXPECT_TRUE(status.value("canvas").toObject().value("w").isDouble());
}

INSTANTIATE_TEST_SUITE_P(
	Cases, StatusTest,
	::testing::Values(StatusCase{"NothingRunningNoSceneNoSources",
				     false,
				     false,
				     false,
				     false,
				     false,
				     nullptr,
				     {},
				     0,
				     0},
			  StatusCase{"StreamingReplayDualWithVideo",
				     true,
				     false,
				     true,
				     false,
				     true,
				     "Scène · Main",
				     {"Zed", "Alpha", "Mid"},
				     1280,
				     720},
			  StatusCase{"RecordingPov",
				     false,
				     true,
				     false,
				     true,
				     false,
				     "Main",
				     {"Only"},
				     0,
				     0}),
	[](const ::testing::TestParamInfo<StatusCase> &info) {
		return std::string(info.param.label);
	});

class ReplayTest : public ObsTest {};

TEST_F(ReplayTest, SaveNeedsARunningReplayBuffer)
{
	EXPECT_EQ(saveReplay().toStdString(),
		  "OBS's replay buffer is off (Settings > Output > Replay "
		  "Buffer)");
	EXPECT_EQ(frontend::replaySaveCount(), 0);
	EXPECT_EQ(frontend::replayStartCount(), 0);

	frontend::setReplayBufferActive(true);
	EXPECT_TRUE(saveReplay().isEmpty());
	EXPECT_EQ(frontend::replaySaveCount(), 1);
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_EQ(frontend::replayStopCount(), 0);
}
} // namespace
