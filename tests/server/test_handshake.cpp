#include <obs.h>
#include <sys/resource.h>

#include "server/handshake.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
// RFC 6455's worked example (section 1.3).
const QByteArray rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";
const QByteArray rfcAnswer =
	"HTTP/1.1 101 Switching Protocols\r\n"
	"Upgrade: websocket\r\n"
	"Connection: Upgrade\r\n"
	"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="
	"\r\n\r\n";

// Waits for the 101 answer and takes it off the client's bytes.
bool takeAnswer(RawClient &client)
{
	if (!client.waitForBytes(rfcAnswer.size()))
		return false;
	if (!client.received.startsWith(rfcAnswer))
		return false;
	client.received.remove(0, rfcAnswer.size());
	return true;
}
}

using HandshakeTest = LinkServerTest;

TEST_F(HandshakeTest, RfcExampleIsAnsweredAsTheRfcSaysThenHello)
{
	EXPECT_EQ(websocketAccept(rfcKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

	RawClient client;
	ASSERT_TRUE(client.connectTo(port));
	client.send(RawClient::upgradeRequest());
	ASSERT_TRUE(client.waitForBytes(rfcAnswer.size()));
	EXPECT_EQ(client.received.left(rfcAnswer.size()), rfcAnswer);
	client.received.remove(0, rfcAnswer.size());

	// The very next bytes are one text frame holding hello.
	ServerFrame hello;
	ASSERT_TRUE(client.readFrame(hello));
	EXPECT_EQ(hello.firstByte, 0x81);
	EXPECT_EQ(json(hello.payload),
		  QJsonObject({{"op", "hello"},
			       {"plugin", "tessil-link"},
			       {"version", "0.1.0"},
			       {"obs", obs_get_version_string()},
			       {"protocol", 2}}));
	// Written compactly.
	EXPECT_FALSE(hello.payload.contains(' '));
	EXPECT_FALSE(hello.payload.contains('\n'));
	EXPECT_TRUE(client.received.isEmpty());
	EXPECT_TRUE(record(0)->handshakeDone);
}

TEST_F(HandshakeTest, RequestHeadsAreAcceptedOrRefused)
{
	struct Case {
		const char *name;
		QByteArray head;
		bool accepted;
	};
	const QByteArray key = "Sec-WebSocket-Key: " + rfcKey + "\r\n";
	const QByteArray get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
	const Case cases[] = {
		{"usual request", RawClient::upgradeRequest(), true},
		{"name in capitals",
		 get + "SEC-WEBSOCKET-KEY: " + rfcKey + "\r\n\r\n", true},
		{"name in lower case, no blank",
		 get + "sec-websocket-key:" + rfcKey + "\r\n\r\n", true},
		{"blank before the colon",
		 get + "Sec-WebSocket-Key : " + rfcKey + "\r\n\r\n", false},
		{"value padded with blanks and tabs",
		 get + "Sec-WebSocket-Key: \t " + rfcKey + " \t\r\n\r\n", true},
		{"bare LF lines, CR LF CR LF at the end",
		 "GET / HTTP/1.1\nHost: 127.0.0.1\nSec-WebSocket-Key: " +
			 rfcKey + "\r\n\r\n",
		 true},
		{"two keys: the second counts",
		 get + "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n" + key +
			 "\r\n",
		 true},
		{"two keys, the second empty",
		 get + key + "Sec-WebSocket-Key:\r\n\r\n", false},
		{"no key", get + "Upgrade: websocket\r\n\r\n", false},
		{"empty key", get + "Sec-WebSocket-Key:  \r\n\r\n", false},
		{"Origin null", get + key + "Origin: null\r\n\r\n", false},
		{"Origin of a page",
		 get + "Origin: http://127.0.0.1:47840\r\n" + key + "\r\n",
		 false},
		{"Origin in capitals", get + key + "ORIGIN: x\r\n\r\n", false},
		{"Origin with only blanks", get + key + "Origin: \t \r\n\r\n",
		 true},
		{"Origin with nothing", get + key + "Origin:\r\n\r\n", true},
		{"blank before the Origin colon",
		 get + key + "Origin : null\r\n\r\n", true},
		{"request line not examined",
		 "POST /anything HTTP/1.0\r\n" + key + "\r\n", true},
		{"only the key line", key + "\r\n", true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		RawClient client;
		ASSERT_TRUE(client.connectTo(port));
		client.send(c.head);
		if (c.accepted) {
			ASSERT_TRUE(takeAnswer(client))
				<< client.received.toStdString();
			EXPECT_EQ(client.readJson().value("op"), "hello");
		} else {
			// Refused: not a byte written, the connection closed.
			EXPECT_TRUE(client.waitDisconnected());
			EXPECT_TRUE(client.received.isEmpty());
		}
	}
	EXPECT_TRUE(
		waitUntil([&] { return server->clientList().size() == 0; }));
}

TEST_F(HandshakeTest, HeadEndsOnlyAtCrLfCrLfHoweverItArrives)
{
	const QByteArray head =
		"GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfcKey;
	// Pieces sent one read after the other; the answer comes only after
	// the last.
	const QList<QByteArray> cases[] = {
		{head + "\n\n", "\r\n\r\n"},
		{head + "\r", "\n\r\n"},
		{head + "\r\n", "\r\n"},
		{head + "\r\n\r", "\n"},
		{head.left(10), head.mid(10) + "\r\n", "\r", "\n"},
	};
	for (const QList<QByteArray> &pieces : cases) {
		SCOPED_TRACE(pieces.join('|').toStdString());
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
		RawClient client;
		ASSERT_TRUE(client.connectTo(port));
		int sent = 0;
		for (int i = 0; i < pieces.size() - 1; i++) {
			client.send(pieces[i]);
			sent += pieces[i].size();
			ASSERT_TRUE(waitBuffered(0, sent));
			EXPECT_FALSE(record(0)->handshakeDone);
		}
		EXPECT_TRUE(client.received.isEmpty());
		EXPECT_TRUE(client.isConnected());

		client.send(pieces.last());
		ASSERT_TRUE(takeAnswer(client));
		EXPECT_EQ(client.readJson().value("op"), "hello");
	}
}

TEST_F(HandshakeTest, FramesBehindTheRequestAreHandledRightAfterHello)
{
	RawClient client;
	ASSERT_TRUE(client.connectTo(port));
	client.send(RawClient::upgradeRequest() + authFrame(linkTestToken) +
		    RawClient::frame(0x9, "after"));

	ASSERT_TRUE(takeAnswer(client));
	EXPECT_EQ(client.readJson().value("op"), "hello");
	EXPECT_EQ(client.readJson().value("op"), "ready");
	ServerFrame pong;
	ASSERT_TRUE(client.readFrame(pong));
	EXPECT_EQ(pong.opcode, 0xA);
	EXPECT_EQ(pong.payload, "after");
}

namespace {
// The head read the plain way (split into lines, each trimmed and
// lower-cased): the in-place reader must agree with it on every head.
HandshakeHeaders referenceHeaders(const QByteArray &head)
{
	HandshakeHeaders headers;
	for (const QByteArray &rawLine : head.split('\n')) {
		const QByteArray line = rawLine.trimmed();
		const QByteArray lower = line.toLower();
		for (auto [prefix, value] :
		     {std::pair{"sec-websocket-key:", &headers.key},
		      std::pair{"origin:", &headers.origin}}) {
			if (lower.startsWith(prefix)) {
				*value = line.mid(line.indexOf(':') + 1)
						 .trimmed();
				break;
			}
		}
	}
	return headers;
}
}

TEST(RequestHead, InPlaceReadingAgreesWithLineByLineReading)
{
	// Heads built from pieces that matter to the reader: names in any
	// case, blanks of every kind, colons, empty values, bare LF and CR LF,
	// non-ASCII bytes.
	const QByteArray pieces[] = {
		"Sec-WebSocket-Key:",
		"sec-websocket-key:",
		"SEC-WEBSOCKET-KEY:",
		"Sec-WebSocket-Key :",
		"Origin:",
		"ORIGIN:",
		"origin",
		"Origin :",
		"x-origin:",
		" ",
		"\t",
		"\v",
		"\f",
		"\r",
		"\n",
		"\r\n",
		":",
		"abc",
		"dGhlIHNhbXBsZSBub25jZQ==",
		"null",
		"\xc3\x80",
		"\xff",
		"GET / HTTP/1.1",
		"Host: a",
	};
	const int count = int(sizeof(pieces) / sizeof(pieces[0]));
	uint32_t seed = 12345;
	auto next = [&seed]() {
		seed = seed * 1103515245u + 12345u;
		return seed >> 8;
	};
	for (int round = 0; round < 20000; round++) {
		QByteArray head;
		const int length = int(next() % 12);
		for (int i = 0; i < length; i++)
			head += pieces[next() % count];
		const HandshakeHeaders expected = referenceHeaders(head);
		const HandshakeHeaders actual = parseRequestHead(head);
		ASSERT_EQ(actual.key, expected.key) << head.toHex().constData();
		ASSERT_EQ(actual.origin, expected.origin)
			<< head.toHex().constData();
	}
}

TEST(RequestHead, LargestHeadIsReadWithoutCopyingItsLines)
{
	// 8 MiB of two-byte lines, the most the buffer limit lets through:
	// read line by line into copies this took some 30 times its size.
	const QByteArray head = QByteArray("a\n").repeated(4 * 1024 * 1024) +
				"Sec-WebSocket-Key: k";
	rusage before{};
	getrusage(RUSAGE_SELF, &before);
	const HandshakeHeaders headers = parseRequestHead(head);
	rusage after{};
	getrusage(RUSAGE_SELF, &after);
	EXPECT_EQ(headers.key, "k");
	// Peak memory in KiB; the head itself was allocated before.
	EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024);
}
