#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

#include "config/link_config.h"
#include "frontend_double.h"
#include "log_capture.h"
#include "pov/pov_flags.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
const std::string refusedLine = logged("refused a client with a wrong token");
const QJsonObject denied{{"op", "denied"}};

void sendText(WsClient &client, const QByteArray &text)
{
	client.socket.sendTextMessage(QString::fromUtf8(text));
}
}

using ProtocolTest = LinkServerTest;

TEST_F(ProtocolTest, ReadyCarriesTheWholeStatusAndTheVersionIsLogged)
{
	frontend::setStreaming(true);
	frontend::setReplayBufferActive(true);
	povFlags().povShown = true;
	linkConfig().povSources = {"Cam A", "Cam B"};
	const QJsonObject status{
		{"op", "ready"},
		{"streaming", true},
		{"recording", false},
		{"replayBuffer", true},
		{"canvas", QJsonObject{{"w", 1920}, {"h", 1080}}},
		{"povShown", true},
		{"dualShown", false},
		{"povSources", QJsonArray{"Cam A", "Cam B"}},
	};

	// Without a current scene there is no "scene" member at all.
	for (const bool withScene : {false, true}) {
		SCOPED_TRACE(withScene ? "scene" : "no scene");
		clearCapturedLog();
		QJsonObject expected = status;
		if (withScene) {
			frontend::addScene("Main");
			expected.insert("scene", "Main");
		}
		WsClient client;
		ASSERT_TRUE(client.open(port));
		EXPECT_EQ(client.authenticate(linkTestToken, "1.2"), expected);
		EXPECT_EQ(countLogLines(LOG_INFO, logged("Tessil 1.2 linked")),
			  1);
		EXPECT_EQ(server->linkedCount(), 1);
		EXPECT_EQ(record(0)->app, "tests");
		ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
		client.socket.abort();
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
	}
}

TEST_F(ProtocolTest, AnyOtherFirstMessageIsDeniedAndClosed)
{
	QByteArray wrongToken = linkTestToken;
	wrongToken[5] = wrongToken[5] == 'a' ? 'b' : 'a';
	const QByteArray cases[] = {
		R"({"op":"auth","token":")" + wrongToken + R"("})",
		R"({"op":"auth","token":12345,"version":"1.2"})",
		R"({"op":"auth","token":null})",
		R"({"op":"auth"})",
		R"({"op":"req","id":1,"cmd":"replay.start"})",
		R"({"op":"AUTH","token":")" + QByteArray(linkTestToken) +
			R"("})",
		R"({"token":")" + QByteArray(linkTestToken) + R"("})",
		R"({"op":1,"token":")" + QByteArray(linkTestToken) + R"("})",
		"{}",
	};
	for (const QByteArray &text : cases) {
		SCOPED_TRACE(text.toStdString());
		clearCapturedLog();
		WsClient client;
		ASSERT_TRUE(client.open(port));
		sendText(client, text);
		EXPECT_EQ(client.next(), denied);
		EXPECT_TRUE(client.waitDisconnected());
		EXPECT_TRUE(client.messages.isEmpty());
		EXPECT_EQ(countLogLines(LOG_WARNING, refusedLine), 1);
		EXPECT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
	}
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_EQ(countLogLines(LOG_INFO, logged("Tessil disconnected")), 0);
}

TEST_F(ProtocolTest, TokenMustMatchInLengthAndEveryByte)
{
	// Compared as UTF-8 bytes: a token outside ASCII works too.
	const std::string token = "T\xc3\xb6k\xe2\x82\xacn-42";
	const QJsonValue missing = QJsonValue::Undefined;
	struct Case {
		const char *name;
		std::string configured;
		QJsonValue presented;
		bool linked;
	};
	const Case cases[] = {
		{"right token", token, QString::fromStdString(token), true},
		{"one character changed", token,
		 QString::fromStdString("T\xc3\xb6k\xe2\x82\xacn-43"), false},
		{"prefix", token, QString::fromStdString(token.substr(0, 8)),
		 false},
		{"one character more", token,
		 QString::fromStdString(token + "2"), false},
		{"other letter case", token,
		 QString::fromStdString("t\xc3\xb6k\xe2\x82\xacn-42"), false},
		{"empty", token, QString(""), false},
		{"number", token, 42, false},
		{"missing", token, missing, false},
		// A server without a token links nobody, not even a client
		// that presents none.
		{"none configured, empty presented", "", QString(""), false},
		{"none configured, none presented", "", missing, false},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		linkConfig().token = c.configured;
		WsClient client;
		ASSERT_TRUE(client.open(port));
		QJsonObject auth{{"op", "auth"}};
		if (!c.presented.isUndefined())
			auth.insert("token", c.presented);
		client.sendJson(auth);
		EXPECT_EQ(client.next().value("op"),
			  c.linked ? "ready" : "denied");
		EXPECT_EQ(server->linkedCount(), c.linked ? 1 : 0);
		client.socket.abort();
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
	}
}

TEST_F(ProtocolTest, LinkedClientsOtherMessagesAreIgnored)
{
	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, linkTestToken));
	clearCapturedLog();

	client.sendJson({{"op", "auth"}, {"token", linkTestToken}});
	client.sendJson({{"op", "auth"}, {"token", "wrong"}});
	client.sendJson({{"op", "hello"}});
	client.sendJson({{"op", "event"}, {"event", "scene.changed"}});
	client.sendJson({{"cmd", "replay.start"}});
	EXPECT_EQ(client.request("replay.stop", {}, 5),
		  QJsonObject({{"op", "res"}, {"id", 5}, {"ok", true}}));
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
	EXPECT_TRUE(capturedLog().empty());
	EXPECT_EQ(server->linkedCount(), 1);
	EXPECT_EQ(frontend::replayStartCount(), 0);
}

TEST_F(ProtocolTest, EventsReachLinkedClientsOnly)
{
	// Nothing is kept for clients that link later.
	server->broadcastEvent("scene.changed", {{"name", "Early"}});

	WsClient first, second, notLinked;
	ASSERT_TRUE(first.openAndLink(port, linkTestToken));
	ASSERT_TRUE(second.openAndLink(port, linkTestToken));
	ASSERT_TRUE(notLinked.open(port));

	server->broadcastEvent("scene.changed", {{"name", "X"}});
	// The envelope's members win over the event's own.
	server->broadcastEvent("hotkey", {{"op", "res"}, {"event", "other"}});

	for (WsClient *client : {&first, &second}) {
		EXPECT_EQ(client->next(),
			  QJsonObject({{"op", "event"},
				       {"event", "scene.changed"},
				       {"name", "X"}}));
		EXPECT_EQ(client->next(),
			  QJsonObject({{"op", "event"}, {"event", "hotkey"}}));
		ASSERT_NO_FATAL_FAILURE(expectNothingPending(*client));
	}
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(notLinked));
}

TEST_F(ProtocolTest, QueuedEventsGoOutOnceWhenTheBurstIsOver)
{
	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, linkTestToken));

	// Ten calls 100 ms apart, another name among them.
	for (int i = 0; i < 10; i++) {
		if (i > 0)
			pumpEvents(100);
		server->queueEvent("scenes.changed");
		if (i == 4)
			server->queueEvent("other.changed");
		ASSERT_TRUE(client.messages.isEmpty()) << "call " << i;
	}
	QElapsedTimer sinceLast;
	sinceLast.start();
	pumpEvents(150);
	EXPECT_TRUE(client.messages.isEmpty());

	ASSERT_TRUE(waitUntil([&] { return client.messages.size() == 2; }));
	printf("queued events flushed %lld ms after the last call\n",
	       static_cast<long long>(sinceLast.elapsed()));
	pumpEvents(300);
	ASSERT_EQ(client.messages.size(), 2);
	QStringList names;
	for (const QJsonObject &event : client.messages) {
		EXPECT_EQ(event.size(), 2);
		EXPECT_EQ(event.value("op"), "event");
		names << event.value("event").toString();
	}
	names.sort();
	EXPECT_EQ(names, QStringList({"other.changed", "scenes.changed"}));
}

TEST_F(ProtocolTest, NothingBehindARefusalIsHandled)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(openRaw(client));
	clearCapturedLog();

	// A wrong token, then a thousand frames that would link the client
	// and run commands, all in one write.
	QByteArray bytes = authFrame("wrong");
	for (int i = 0; i < 500; i++)
		bytes += authFrame(linkTestToken) +
			 requestFrame(i, "replay.start");
	client.send(bytes);

	EXPECT_EQ(client.readJson(), denied);
	EXPECT_TRUE(client.waitDisconnected());
	EXPECT_TRUE(client.received.isEmpty());
	EXPECT_EQ(countLogLines(LOG_WARNING, refusedLine), 1);
	EXPECT_EQ(capturedLog().size(), 1u);
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_EQ(server->linkedCount(), 0);
}
