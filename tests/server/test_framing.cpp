#include "frontend_double.h"
#include "log_capture.h"
#include "server/framing.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
// Bytes with a pattern, so that a wrong unmasking shows.
QByteArray patterned(int size)
{
	QByteArray bytes(size, Qt::Uninitialized);
	for (int i = 0; i < size; i++)
		bytes[i] = char(i * 7 + 3);
	return bytes;
}

void expectResponse(RawClient &client, int id)
{
	const QJsonObject reply = client.readJson();
	EXPECT_EQ(reply.value("op"), "res");
	EXPECT_EQ(reply.value("id"), id);
}
}

using FramingTest = LinkServerTest;

TEST(FrameHeader, UsesTheShortestLengthForm)
{
	struct Case {
		int opcode;
		uint64_t size;
		const char *hex;
	};
	const Case cases[] = {
		{0x1, 0, "8100"},
		{0x1, 125, "817d"},
		{0x1, 126, "817e007e"},
		{0x1, 65535, "817effff"},
		{0x1, 65536, "817f0000000000010000"},
		{0x1, 0x100000000ull, "817f0000000100000000"},
		{0xA, 3, "8a03"},
		{0x8, 0, "8800"},
	};
	for (const Case &c : cases)
		EXPECT_EQ(frameHeader(c.opcode, c.size).toHex(), c.hex)
			<< c.size;
}

TEST_F(FramingTest, PingIsAnsweredByAPongWithTheSamePayload)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(openRaw(client));

	client.send(RawClient::frame(0x9, "abc"));
	ServerFrame pong;
	ASSERT_TRUE(client.readFrame(pong));
	EXPECT_EQ(pong.firstByte, 0x8A);
	EXPECT_EQ(pong.payload, "abc");

	// Larger payloads come back in each length form.
	struct Case {
		int size;
		int headerSize;
	};
	const Case cases[] = {
		{0, 2}, {125, 2}, {126, 4}, {65535, 4}, {65536, 10},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.size);
		const QByteArray payload = patterned(c.size);
		client.send(RawClient::frame(0x9, payload));
		ASSERT_TRUE(client.readFrame(pong));
		EXPECT_EQ(pong.firstByte, 0x8A);
		EXPECT_EQ(pong.headerSize, c.headerSize);
		EXPECT_TRUE(pong.payload == payload);
	}
}

TEST_F(FramingTest, FramesOfOneReadAreHandledInOrder)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	client.send(requestFrame(1, "replay.start") +
		    RawClient::frame(0x9, "between") +
		    requestFrame(2, "replay.stop"));
	expectResponse(client, 1);
	ServerFrame pong;
	ASSERT_TRUE(client.readFrame(pong));
	EXPECT_EQ(pong.payload, "between");
	expectResponse(client, 2);
	EXPECT_EQ(frontend::replayStartCount(), 1);
	EXPECT_EQ(frontend::replayStopCount(), 1);
}

TEST_F(FramingTest, SplitFrameIsHandledOnceItIsComplete)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));
	const QByteArray frame = requestFrame(9, "replay.start");

	// Cut points: inside the header, inside the masking key, inside and
	// at the end of the payload.
	const std::pair<int, int> cuts[] = {
		{1, 4},
		{2, 6},
		{6, int(frame.size()) - 1},
	};
	for (const auto &cut : cuts) {
		SCOPED_TRACE(std::to_string(cut.first) + "/" +
			     std::to_string(cut.second));
		const int startsBefore = frontend::replayStartCount();
		client.send(frame.left(cut.first));
		ASSERT_TRUE(waitBuffered(0, cut.first));
		client.send(frame.mid(cut.first, cut.second - cut.first));
		ASSERT_TRUE(waitBuffered(0, cut.second));
		EXPECT_EQ(frontend::replayStartCount(), startsBefore);
		EXPECT_TRUE(client.received.isEmpty());

		client.send(frame.mid(cut.second));
		expectResponse(client, 9);
		EXPECT_EQ(frontend::replayStartCount(), startsBefore + 1);
		ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
		EXPECT_TRUE(record(0)->buffer.isEmpty());
	}
}

TEST_F(FramingTest, UnmaskedFramesAreHandledLikeMaskedOnes)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	client.send(RawClient::frame(
		0x1, R"({"op":"req","id":3,"cmd":"replay.start"})", false));
	expectResponse(client, 3);
	EXPECT_EQ(frontend::replayStartCount(), 1);

	client.send(RawClient::frame(0x9, "plain", false));
	ServerFrame pong;
	ASSERT_TRUE(client.readFrame(pong));
	EXPECT_EQ(pong.payload, "plain");
}

TEST_F(FramingTest, FinIsIgnoredAndContinuationsAreDropped)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	const QByteArray request =
		R"({"op":"req","id":5,"cmd":"replay.start"})";
	client.send(RawClient::frame(0x1, request, true, false) +
		    RawClient::frame(0x0, request, true, false) +
		    RawClient::frame(0x0, request, true, true));
	expectResponse(client, 5);
	ASSERT_NO_FATAL_FAILURE(expectNothingPending(client));
	EXPECT_EQ(frontend::replayStartCount(), 1);
}

TEST_F(FramingTest, OtherOpcodesAreDropped)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	// Each carries a request that would be answered as a text frame.
	const QByteArray request =
		R"({"op":"req","id":4,"cmd":"replay.start"})";
	for (const int opcode : {0x0, 0x2, 0x3, 0x7, 0xA, 0xB, 0xF}) {
		SCOPED_TRACE(opcode);
		ASSERT_NO_FATAL_FAILURE(expectNothingPending(
			client, RawClient::frame(opcode, request)));
	}
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_TRUE(client.isConnected());
}

TEST_F(FramingTest, TextThatIsNoJsonObjectGetsNoAnswer)
{
	const QByteArray payloads[] = {
		"{",
		"[1,2]",
		"[{\"op\":\"auth\"}]",
		"42",
		"\"text\"",
		"null",
		"true",
		"",
		"{\"op\":\"req\",\"id\":1,\"cmd\":\"replay.start\"} x",
		"\xff\xfe{}",
		// A repeated key: the message is dropped whole (Qt 5.15 would
		// leak the value it replaces), whatever the key.
		"{\"a\":{\"b\":1},\"a\":{\"b\":1}}",
		"{\"op\":\"req\",\"id\":1,\"cmd\":\"replay.start\","
		"\"cmd\":\"replay.start\"}",
		"{\"op\":[1],\"op\":\"auth\",\"token\":\"" +
			QByteArray(linkTestToken) + "\"}",
	};
	// Before linking such a frame is not a first message, so it is not
	// refused; after linking it is no request.
	for (const bool linked : {false, true}) {
		SCOPED_TRACE(linked ? "linked" : "not linked");
		RawClient client;
		if (linked)
			ASSERT_NO_FATAL_FAILURE(linkRaw(client));
		else
			ASSERT_NO_FATAL_FAILURE(openRaw(client));
		QByteArray frames;
		for (const QByteArray &payload : payloads)
			frames += textFrame(payload);
		ASSERT_NO_FATAL_FAILURE(expectNothingPending(client, frames));
		EXPECT_TRUE(client.isConnected());
		if (!linked) {
			client.send(authFrame(linkTestToken));
			EXPECT_EQ(client.readJson().value("op"), "ready");
		}
	}
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_EQ(countLogLines(LOG_WARNING,
				logged("refused a client with a wrong token")),
		  0);
}

TEST_F(FramingTest, CloseIsEchoedEmptyAndNothingBehindItIsHandled)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	// Status 1000 and a reason, then a request in the same read.
	client.send(RawClient::frame(0x8, QByteArray::fromHex("03e8") + "bye") +
		    requestFrame(1, "replay.start"));
	EXPECT_TRUE(client.waitDisconnected());
	EXPECT_EQ(client.received.toHex(), "8800");
	EXPECT_EQ(frontend::replayStartCount(), 0);
	EXPECT_TRUE(waitUntil([&] { return server->clientList().empty(); }));
	EXPECT_EQ(countLogLines(LOG_INFO, logged("Tessil disconnected")), 1);
}

TEST_F(FramingTest, LengthThatCanNeverArriveJustWaits)
{
	struct Case {
		const char *header;
		bool masked;
	};
	const Case cases[] = {
		{"81ffffffffffffffffff", true},
		{"817fffffffffffffffff", false},
		// With the key, header plus length wraps to zero.
		{"81fffffffffffffffff2", true},
		{"81ff8000000000000000", true},
		{"81ff0000000080000000", true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.header);
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
		RawClient client;
		ASSERT_NO_FATAL_FAILURE(linkRaw(client));
		QByteArray bytes = QByteArray::fromHex(c.header);
		if (c.masked)
			bytes += QByteArray::fromHex("01020304");
		bytes += R"({"op":"req","id":1,"cmd":"replay.start"})";
		client.send(bytes);
		ASSERT_TRUE(waitBuffered(0, bytes.size()));
		pumpEvents(20);
		EXPECT_TRUE(client.isConnected());
		EXPECT_TRUE(client.received.isEmpty());
		EXPECT_EQ(record(0)->buffer, bytes);
	}
	EXPECT_EQ(frontend::replayStartCount(), 0);
}
