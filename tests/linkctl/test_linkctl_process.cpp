// The built tessil-linkctl, run as a child process against a real
// LinkServer that this test's event loop serves.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "config/link_config.h"
#include "config/link_token.h"
#include "frontend_double.h"
#include "obs/status.h"
#include "obs_fixture.h"
#include "server/link_server.h"
#include "wait.h"

namespace {
constexpr char testToken[] = "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s";

QString url(int port)
{
	return QString("ws://127.0.0.1:%1").arg(port);
}

std::string show(const QStringList &arguments)
{
	return arguments.join(' ').toStdString();
}

// One run of the tool; the test's event loop runs while it does.
class Linkctl {
public:
	void start(const QStringList &arguments,
		   const QProcessEnvironment &environment =
			   QProcessEnvironment::systemEnvironment())
	{
		process.setProcessEnvironment(environment);
		process.start(TESSIL_LINKCTL_PATH, arguments);
	}

	// False when it is still running after `timeoutMs` (it is killed).
	bool finish(int timeoutMs = 20000)
	{
		const bool ended = waitUntil(
			[this] {
				return process.state() == QProcess::NotRunning;
			},
			timeoutMs);
		if (!ended) {
			process.kill();
			process.waitForFinished();
		}
		out = process.readAllStandardOutput();
		err = process.readAllStandardError();
		return ended && process.exitStatus() == QProcess::NormalExit;
	}

	int exitCode() const { return process.exitCode(); }

	QProcess process;
	QByteArray out;
	QByteArray err;
};

class LinkctlTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		linkConfig().token = testToken;
		server = std::make_unique<LinkServer>();
		port = freeTcpPort();
		ASSERT_TRUE(server->listen(port, false));
		frontend::addScene("Main");
		frontend::addScene("Other");
	}

	void TearDown() override
	{
		server.reset();
		ObsTest::TearDown();
	}

	// The arguments with the test server's address and token in front.
	QStringList linked(const QStringList &arguments) const
	{
		return QStringList{"--url", url(port), "--token", testToken} +
		       arguments;
	}

	std::string currentScene() const
	{
		OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
		return scene ? obs_source_get_name(scene) : "";
	}

	std::unique_ptr<LinkServer> server;
	int port = 0;
};
}

TEST_F(LinkctlTest, RequestsPrintTheReplyAndExitByItsOk)
{
	const QByteArray status =
		QJsonDocument(QJsonObject{{"op", "res"},
					  {"id", 1},
					  {"ok", true},
					  {"data", statusData()}})
			.toJson(QJsonDocument::Compact);
	struct Case {
		QStringList arguments;
		int exitCode;
		QByteArray out;
		QByteArray err;
		std::string sceneAfter;
	};
	const std::vector<Case> cases = {
		{{"status"}, 0, status + "\n", "", "Main"},
		{{"scene", "Nope"},
		 1,
		 R"({"data":{"previous":"Main"},"error":"no scene named Nope",)"
		 R"("id":1,"ok":false,"op":"res"})"
		 "\n",
		 "tessil-linkctl: no scene named Nope\n",
		 "Main"},
		{{"scene", "Other"},
		 0,
		 R"({"data":{"previous":"Main"},"id":1,"ok":true,"op":"res"})"
		 "\n",
		 "",
		 "Other"},
		{{"raw", "scene.set", R"({"name":"Main"})"},
		 0,
		 R"({"data":{"previous":"Other"},"id":1,"ok":true,"op":"res"})"
		 "\n",
		 "",
		 "Main"},
		{{"raw", "Status"},
		 1,
		 R"({"error":"unknown command Status","id":1,"ok":false,)"
		 R"("op":"res"})"
		 "\n",
		 "tessil-linkctl: unknown command Status\n",
		 "Main"},
		{{"replay", "start"},
		 0,
		 R"({"id":1,"ok":true,"op":"res"})"
		 "\n",
		 "",
		 "Main"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(show(c.arguments));
		Linkctl tool;
		tool.start(linked(c.arguments));
		ASSERT_TRUE(tool.finish());
		EXPECT_EQ(tool.exitCode(), c.exitCode);
		EXPECT_EQ(tool.out.toStdString(), c.out.toStdString());
		EXPECT_EQ(tool.err.toStdString(), c.err.toStdString());
		EXPECT_EQ(currentScene(), c.sceneAfter);
	}
	EXPECT_EQ(frontend::replayStartCount(), 1);
}

TEST_F(LinkctlTest, NoLinkExitsWithTwoAndSaysWhy)
{
	// Accepts connections and never answers.
	QTcpServer silent;
	ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
	const int closedPort = freeTcpPort();

	struct Case {
		const char *name;
		QStringList arguments;
		QByteArray err; // the whole of stderr, or its start
		bool whole;
	};
	const std::vector<Case> cases = {
		{"wrong token",
		 {"--url", url(port), "--token", "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6t",
		  "status"},
		 "tessil-linkctl: the link refused the token (see --token)\n",
		 true},
		{"no server",
		 {"--url", url(closedPort), "--token", testToken, "status"},
		 "tessil-linkctl: cannot connect to " +
			 url(closedPort).toUtf8() + ": ",
		 false},
		{"server that never answers",
		 {"--url", url(silent.serverPort()), "--token", testToken,
		  "--timeout", "300", "status"},
		 "tessil-linkctl: cannot connect to " +
			 url(silent.serverPort()).toUtf8() + " within 300 ms\n",
		 true},
		{"bad usage",
		 {"--url", url(port), "--token", testToken, "scene"},
		 "tessil-linkctl: scene takes one scene name; see "
		 "'tessil-linkctl help scene'\n",
		 true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		Linkctl tool;
		tool.start(c.arguments);
		ASSERT_TRUE(tool.finish());
		EXPECT_EQ(tool.exitCode(), 2);
		EXPECT_TRUE(tool.out.isEmpty()) << tool.out.toStdString();
		if (c.whole) {
			EXPECT_EQ(tool.err.toStdString(), c.err.toStdString());
		} else {
			EXPECT_TRUE(tool.err.startsWith(c.err))
				<< tool.err.toStdString();
			EXPECT_EQ(tool.err.count('\n'), 1);
			EXPECT_TRUE(tool.err.endsWith('\n'));
		}
	}
	EXPECT_EQ(server->linkedCount(), 0);
}

TEST_F(LinkctlTest, HelpGoesToStandardOutput)
{
	const std::vector<std::pair<QStringList, QString>> cases = {
		{{"--help"}, helpText()},
		{{"help", "item"}, helpText("item")},
		{{"item", "--help"}, helpText("item")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(show(c.first));
		Linkctl tool;
		tool.start(c.first);
		ASSERT_TRUE(tool.finish());
		EXPECT_EQ(tool.exitCode(), 0);
		EXPECT_EQ(tool.out.toStdString(), c.second.toStdString());
		EXPECT_TRUE(tool.err.isEmpty());
	}
}

TEST_F(LinkctlTest, TokenComesFromTheTokenFileWithoutTokenOption)
{
	writeTokenFile(linkConfig());
	Linkctl found;
	found.start({"--url", url(port), "scenes"});
	ASSERT_TRUE(found.finish());
	EXPECT_EQ(found.exitCode(), 0) << found.err.toStdString();
	EXPECT_EQ(QJsonDocument::fromJson(found.out).object().value("data"),
		  QJsonObject({{"current", "Main"},
			       {"scenes",
				QJsonArray{QJsonObject{{"name", "Main"},
						       {"items", QJsonArray()}},
					   QJsonObject{{"name", "Other"},
						       {"items",
							QJsonArray()}}}}}));

	QTemporaryDir elsewhere;
	ASSERT_TRUE(elsewhere.isValid());
	QProcessEnvironment environment =
		QProcessEnvironment::systemEnvironment();
	environment.insert("XDG_CONFIG_HOME", elsewhere.path());
	Linkctl missing;
	missing.start({"--url", url(port), "status"}, environment);
	ASSERT_TRUE(missing.finish());
	EXPECT_EQ(missing.exitCode(), 2);
	EXPECT_TRUE(missing.out.isEmpty());
	EXPECT_TRUE(missing.err.startsWith(
		"tessil-linkctl: cannot read the token file " +
		elsewhere.path().toUtf8() + "/tessil/link-token.txt ("))
		<< missing.err.toStdString();
}

TEST_F(LinkctlTest, EventsArePrintedOneALineUpToTheCount)
{
	Linkctl tool;
	tool.start(linked({"events", "--count", "1"}));
	ASSERT_TRUE(waitUntil([this] { return server->linkedCount() == 1; }));
	EXPECT_EQ(server->clientList().front()->app, "tessil-linkctl");

	server->broadcastEvent("scene.changed", QJsonObject{{"name", "Main"}});
	ASSERT_TRUE(tool.finish());
	EXPECT_EQ(tool.exitCode(), 0) << tool.err.toStdString();
	EXPECT_EQ(tool.out.toStdString(),
		  R"({"event":"scene.changed","name":"Main","op":"event"})"
		  "\n");
	EXPECT_TRUE(tool.err.isEmpty());
	EXPECT_TRUE(waitUntil([this] { return server->clientList().empty(); }));
}

TEST_F(LinkctlTest, EventStreamEndsWithTheLink)
{
	struct Case {
		const char *name;
		bool obsExits;
		int exitCode;
		QByteArray out;
		QByteArray err;
	};
	const std::vector<Case> cases = {
		{"OBS exits", true, 0,
		 R"({"action":"clip","event":"hotkey","op":"event"})"
		 "\n"
		 R"({"event":"obs.exit","op":"event"})"
		 "\n",
		 ""},
		{"link stopped", false, 2,
		 R"({"action":"clip","event":"hotkey","op":"event"})"
		 "\n",
		 "tessil-linkctl: " + url(port).toUtf8() +
			 " closed the connection\n"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_TRUE(server->isListening() ||
			    server->listen(port, false));
		Linkctl tool;
		tool.start(linked({"events"}));
		ASSERT_TRUE(waitUntil(
			[this] { return server->linkedCount() == 1; }));
		server->broadcastEvent("hotkey",
				       QJsonObject{{"action", "clip"}});
		if (c.obsExits)
			server->broadcastEvent("obs.exit", QJsonObject());
		server->stop();
		ASSERT_TRUE(tool.finish());
		EXPECT_EQ(tool.exitCode(), c.exitCode);
		EXPECT_EQ(tool.out.toStdString(), c.out.toStdString());
		EXPECT_EQ(tool.err.toStdString(), c.err.toStdString());
	}
}
