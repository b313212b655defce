#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "config/link_config.h"
#include "frontend_double.h"
#include "server/command_table.h"
#include "server/request.h"
#include "server_fixture.h"
#include "test_kinds.h"
#include "wait.h"

namespace {
// A value as a client's JSON text would carry it.
QJsonValue fromJson(const QByteArray &text)
{
	return QJsonDocument::fromJson("[" + text + "]").array().at(0);
}

struct Counts {
	int starts = frontend::replayStartCount();
	int stops = frontend::replayStopCount();
	int saves = frontend::replaySaveCount();
};
}

using RequestTest = LinkServerTest;

TEST_F(RequestTest, RequestsAreAnsweredByTheirCommandRow)
{
	frontend::addScene("Main");
	linkConfig().povSources = {"Cam"};
	const QByteArray status =
		R"({"streaming":false,"recording":false,"replayBuffer":false,)"
		R"("canvas":{"w":1920,"h":1080},"povShown":false,)"
		R"("dualShown":false,"scene":"Main","povSources":["Cam"]})";
	const QByteArray bufferOff =
		R"x("OBS's replay buffer is off (Settings > Output > Replay Buffer)")x";

	struct Case {
		QByteArray request;
		QByteArray reply;
		bool replayBuffer = false;
		int starts = 0, stops = 0, saves = 0;
	};
	const Case cases[] = {
		{R"({"op":"req","id":7,"cmd":"replay.start"})",
		 R"({"op":"res","id":7,"ok":true})", false, 1},
		{R"({"op":"req","cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":"7","cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":7.5,"cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":2147483648,"cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":-2147483649,"cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":1e300,"cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":true,"cmd":"replay.stop"})",
		 R"({"op":"res","id":0,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":-2147483648,"cmd":"replay.stop"})",
		 R"({"op":"res","id":-2147483648,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":2147483647,"cmd":"replay.stop"})",
		 R"({"op":"res","id":2147483647,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":12.0,"cmd":"replay.stop"})",
		 R"({"op":"res","id":12,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":1,"cmd":"Status"})",
		 R"({"op":"res","id":1,"ok":false,"error":"unknown command Status"})"},
		{R"({"op":"req","id":1})",
		 R"({"op":"res","id":1,"ok":false,"error":"unknown command "})"},
		{R"({"op":"req","id":1,"cmd":7})",
		 R"({"op":"res","id":1,"ok":false,"error":"unknown command "})"},
		{R"({"op":"req","id":1,"cmd":"sc\u00e8ne.list"})",
		 R"({"op":"res","id":1,"ok":false,"error":"unknown command sc\u00e8ne.list"})"},
		{R"({"op":"req","id":2,"cmd":"status"})",
		 R"({"op":"res","id":2,"ok":true,"data":)" + status + "}"},
		{R"({"op":"req","id":3,"cmd":"replay.save"})",
		 R"({"op":"res","id":3,"ok":false,"error":)" + bufferOff + "}"},
		{R"({"op":"req","id":3,"cmd":"replay.save"})",
		 R"({"op":"res","id":3,"ok":true})", true, 0, 0, 1},
		{R"({"op":"req","id":4,"cmd":"replay.stop","args":[1]})",
		 R"({"op":"res","id":4,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":4,"cmd":"replay.stop","args":"x"})",
		 R"({"op":"res","id":4,"ok":true})", false, 0, 1},
		{R"({"op":"req","id":4,"cmd":"replay.stop","extra":{}})",
		 R"({"op":"res","id":4,"ok":true})", false, 0, 1},
	};

	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, linkTestToken));
	for (const Case &c : cases) {
		SCOPED_TRACE(c.request.toStdString());
		frontend::setReplayBufferActive(c.replayBuffer);
		const Counts before;
		client.socket.sendTextMessage(QString::fromUtf8(c.request));
		EXPECT_EQ(client.next(), json(c.reply));
		const Counts after;
		EXPECT_EQ(after.starts - before.starts, c.starts);
		EXPECT_EQ(after.stops - before.stops, c.stops);
		EXPECT_EQ(after.saves - before.saves, c.saves);
	}
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
}

TEST_F(RequestTest, PipelinedRequestsAreAnsweredInOrder)
{
	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, linkTestToken));
	const char *commands[] = {"status", "replay.save", "nothing",
				  "replay.start"};
	const int count = 60;
	for (int id = 1; id <= count; id++)
		client.sendJson(
			{{"op", "req"}, {"id", id}, {"cmd", commands[id % 4]}});
	ASSERT_TRUE(waitUntil([&] { return client.messages.size() == count; }));
	for (int id = 1; id <= count; id++)
		EXPECT_EQ(client.messages[id - 1].value("id"), id);
	EXPECT_EQ(frontend::replayStartCount(), count / 4);
}

TEST_F(RequestTest, FloodIsHandledInSlicesWhileOthersAreServed)
{
	RawClient flood;
	ASSERT_NO_FATAL_FAILURE(linkRaw(flood));
	WsClient other;
	ASSERT_TRUE(other.openAndLink(port, linkTestToken));

	// Far more requests than one read may handle, put in the server's
	// buffer at once as if they had come in one read.
	const int count = 20000;
	QByteArray frames;
	for (int id = 1; id <= count; id++)
		frames += requestFrame(id, "status");
	LinkClient *record = this->record(0);
	ASSERT_TRUE(record);
	record->buffer += frames;
	Q_EMIT record->socket->readyRead();
	EXPECT_FALSE(record->buffer.isEmpty())
		<< "the read handled the whole flood at once";

	// The other client is answered while the flood is still in hand.
	EXPECT_EQ(other.request("status", {}, 1).value("ok"), true);
	EXPECT_FALSE(record->buffer.isEmpty());

	// Every flooded request is answered once, in order.
	for (int id = 1; id <= count; id++) {
		const QJsonObject reply = flood.readJson(10000);
		ASSERT_EQ(reply.value("id"), id);
	}
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(flood));
}

TEST_F(RequestTest, RestOfAFloodIsDroppedWithItsConnectionOrServer)
{
	// The queued call that would go on with a flood finds nothing once
	// the connection, or the whole server, has gone.
	for (const bool wholeServer : {false, true}) {
		SCOPED_TRACE(wholeServer ? "server deleted"
					 : "connection closed");
		if (!server) {
			server = std::make_unique<LinkServer>();
			ASSERT_TRUE(server->listen(port, false));
		}
		RawClient flood;
		ASSERT_NO_FATAL_FAILURE(linkRaw(flood));
		QByteArray frames;
		for (int id = 1; id <= 20000; id++)
			frames += requestFrame(id, "replay.start");
		LinkClient *record = this->record(0);
		ASSERT_TRUE(record);
		record->buffer += frames;
		const int startsBefore = frontend::replayStartCount();
		Q_EMIT record->socket->readyRead();
		ASSERT_FALSE(record->buffer.isEmpty());
		const int handled = frontend::replayStartCount() - startsBefore;

		if (wholeServer) {
			server.reset();
		} else {
			server->closeClient(*record);
			ASSERT_TRUE(waitUntil(
				[&] { return server->clientList().empty(); }));
		}
		pumpEvents(200);
		EXPECT_LT(frontend::replayStartCount() - startsBefore, 20000);
		if (wholeServer) {
			EXPECT_EQ(frontend::replayStartCount() - startsBefore,
				  handled);
		}
	}
}

TEST(RequestArgs, IntegerIsAWhole32BitNumberOrZero)
{
	struct Case {
		QJsonValue value;
		int expected;
	};
	const Case cases[] = {
		{0, 0},
		{1, 1},
		{-1, -1},
		{3.0, 3},
		{2147483647, 2147483647},
		{fromJson("2147483647"), 2147483647},
		{fromJson("-2147483648"), -2147483647 - 1},
		{fromJson("2147483648"), 0},
		{fromJson("-2147483649"), 0},
		{fromJson("4294967296"), 0},
		{fromJson("1e300"), 0},
		{fromJson("-1e300"), 0},
		{fromJson("1.7976931348623157e308"), 0},
		{fromJson("7.5"), 0},
		{fromJson("-0.5"), 0},
		{fromJson("1e-300"), 0},
		{fromJson("-0.0"), 0},
		{fromJson("\"7\""), 0},
		{true, 0},
		{QJsonValue::Null, 0},
		{QJsonValue::Undefined, 0},
		{QJsonArray{7}, 0},
		{QJsonObject{{"v", 7}}, 0},
		{std::numeric_limits<double>::quiet_NaN(), 0},
		{std::numeric_limits<double>::infinity(), 0},
	};
	for (const Case &c : cases)
		EXPECT_EQ(integerArg(c.value), c.expected)
			<< QJsonDocument(QJsonArray{c.value})
				   .toJson(QJsonDocument::Compact)
				   .toStdString();
}

TEST(RequestArgs, BooleanIsTrueOnlyForJsonTrue)
{
	EXPECT_TRUE(booleanArg(true));
	const QJsonValue falseOnes[] = {
		false,
		QString("true"),
		1,
		0,
		QJsonValue::Null,
		QJsonValue::Undefined,
		QJsonArray{true},
		QJsonObject{{"v", true}},
	};
	for (const QJsonValue &value : falseOnes)
		EXPECT_FALSE(booleanArg(value))
			<< QJsonDocument(QJsonArray{value})
				   .toJson(QJsonDocument::Compact)
				   .toStdString();
}

TEST(RequestArgs, NumberIsAFiniteNumberOrTheDefault)
{
	const double fallback = 0.25;
	const double huge = std::numeric_limits<double>::max();
	struct Case {
		QJsonValue value;
		double expected;
	};
	const Case cases[] = {
		{2.5, 2.5},
		{0, 0.0},
		{-7, -7.0},
		{fromJson("1.7976931348623157e308"), huge},
		{fromJson("-1.7976931348623157e308"), -huge},
		{fromJson("18446744073709551616"), 18446744073709551616.0},
		{fromJson("5e-324"), 5e-324},
		{QString("2.5"), fallback},
		{true, fallback},
		{QJsonValue::Null, fallback},
		{QJsonValue::Undefined, fallback},
		{QJsonArray{1}, fallback},
		{QJsonObject{}, fallback},
		// Not in JSON text, but the rule covers them.
		{std::numeric_limits<double>::quiet_NaN(), fallback},
		{std::numeric_limits<double>::infinity(), fallback},
		{-std::numeric_limits<double>::infinity(), fallback},
	};
	for (const Case &c : cases)
		EXPECT_EQ(numberArg(c.value, fallback), c.expected)
			<< QJsonDocument(QJsonArray{c.value})
				   .toJson(QJsonDocument::Compact)
				   .toStdString();
}

TEST(RequestArgs, CommandArgsTakeTheirDefaults)
{
	const std::vector<ArgDef> defs = {
		{"count", ArgType::Integer}, {"on", ArgType::Boolean},
		{"name", ArgType::Text},     {"scale", ArgType::Number, 0.3},
		{"names", ArgType::Array},
	};

	// Missing members and members of another JSON type alike.
	const QJsonObject missing;
	const QJsonObject wrongTypes{{"count", "3"},
				     {"on", 1},
				     {"name", 5},
				     {"scale", "0.5"},
				     {"names", "a,b"}};
	for (const QJsonObject &given : {missing, wrongTypes}) {
		const CommandArgs args(given, defs);
		EXPECT_EQ(args.integer("count"), 0);
		EXPECT_FALSE(args.boolean("on"));
		EXPECT_EQ(args.text("name"), "");
		EXPECT_EQ(args.number("scale"), 0.3);
		EXPECT_EQ(args.array("names"), QJsonArray());
		EXPECT_EQ(args.raw("name"), given.value("name"));
	}

	const QJsonObject right{{"count", 3},
				{"on", true},
				{"name", "Cam"},
				{"scale", 0.5},
				{"names", QJsonArray{"a", "b"}}};
	const CommandArgs args(right, defs);
	EXPECT_EQ(args.integer("count"), 3);
	EXPECT_TRUE(args.boolean("on"));
	EXPECT_EQ(args.text("name"), "Cam");
	EXPECT_EQ(args.number("scale"), 0.5);
	EXPECT_EQ(args.array("names"), QJsonArray({"a", "b"}));
	// A number the row does not declare defaults to 0.
	EXPECT_EQ(CommandArgs(missing, defs).number("other"), 0.0);
}

TEST(CommandTable, NamesAreUnique)
{
	std::set<std::string> names;
	for (const CommandRow &row : commandTable())
		EXPECT_TRUE(names.insert(row.name).second) << row.name;
	for (const char *name :
	     {"status", "replay.save", "replay.start", "replay.stop"})
		EXPECT_EQ(names.count(name), 1u) << name;
}

// OBS starts the transition inside obs_frontend_set_current_scene and then,
// still inside the call, rebuilds its docks for the new scene: the reply is
// on its way by then, and it is the only one.
TEST_F(RequestTest, SceneSetIsAnsweredOnceTheSwitchHasStarted)
{
	obs_source_t *a = frontend::addScene("A");
	frontend::addScene("B");
	frontend::setProgramScene(a);
	OBSSourceAutoRelease transition = obs_source_create_private(
		TEST_TRANSITION_KIND, "Fade", nullptr);
	obs_set_output_source(0, transition);
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	bool arrivedInsideTheCall = false;
	frontend::onSetCurrentScene([&](obs_source_t *scene) {
		obs_transition_start(transition, OBS_TRANSITION_MODE_AUTO, 0,
				     scene);
		arrivedInsideTheCall = client.waitInSystem();
	});
	client.send(textFrame(
		R"({"op":"req","id":5,"cmd":"scene.set","args":{"name":"B"}})"));
	EXPECT_EQ(
		client.readJson(),
		json(R"({"op":"res","id":5,"ok":true,"data":{"previous":"A"}})"));
	EXPECT_TRUE(arrivedInsideTheCall);
	frontend::onSetCurrentScene(nullptr);
	obs_set_output_source(0, nullptr);
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
}

// An idle connection keeps no input buffer: emptying it would keep its
// capacity (16 KiB or more) for as long as the connection lives.
TEST_F(RequestTest, AnIdleConnectionKeepsNoInputBuffer)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));
	client.send(requestFrame(1, "status"));
	EXPECT_EQ(client.readJson().value("id"), 1);
	EXPECT_EQ(record(0)->buffer.capacity(), 0);

	// Part of a frame waits in the buffer for the rest.
	const QByteArray frame = requestFrame(2, "status");
	client.send(frame.left(5));
	ASSERT_TRUE(waitBuffered(0, 5));
	client.send(frame.mid(5));
	EXPECT_EQ(client.readJson().value("id"), 2);
	EXPECT_EQ(record(0)->buffer.capacity(), 0);
}
