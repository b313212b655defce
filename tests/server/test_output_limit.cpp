// What a connection may leave waiting to be sent: peers that stop taking
// their data slow down (their input waits) and are closed if they stay
// stalled; when OBS closes, peers get what was written to them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonDocument>

#include <atomic>
#include <thread>

#include "server/link_client.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
const QByteArray megabyte(1024 * 1024, 'm');

// A linked client on a thread of its own, so that it can read while the
// server's thread is blocked: it sends frames the server drops for as long
// as the connection lasts, reads slowly, and keeps the text messages.
class ThreadClient {
public:
	~ThreadClient()
	{
		if (thread.joinable())
			thread.join();
		if (fd >= 0)
			close(fd);
	}

	void start(int port)
	{
		fd = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_port = htons(quint16(port));
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		connected = ::connect(fd,
				      reinterpret_cast<sockaddr *>(&address),
				      sizeof(address)) == 0;
		if (connected)
			thread = std::thread([this] { run(); });
	}

	bool connected = false;
	std::atomic<bool> linked{false};
	std::atomic<bool> ended{false};
	QList<QJsonObject> messages;

private:
	void run()
	{
		sendAll(RawClient::upgradeRequest());
		sendAll(RawClient::frame(
			0x1, QByteArray(R"({"op":"auth","token":")") +
				     linkTestToken + "\"}"));
		const QByteArray junk =
			RawClient::frame(0x2, QByteArray(4096, 'j'));
		QByteArray input;
		bool upgraded = false;
		char chunk[16384];
		for (;;) {
			if (!exitSeen)
				send(fd, junk.constData(), size_t(junk.size()),
				     MSG_DONTWAIT | MSG_NOSIGNAL);
			const ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
			if (got <= 0)
				break;
			input.append(chunk, int(got));
			if (!upgraded) {
				const int end = input.indexOf("\r\n\r\n");
				if (end < 0)
					continue;
				input.remove(0, end + 4);
				upgraded = true;
			}
			takeFrames(input);
			usleep(1000); // a slow reader
		}
		ended = true;
	}

	void takeFrames(QByteArray &input)
	{
		for (;;) {
			if (input.size() < 2)
				return;
			const auto *b = reinterpret_cast<const uint8_t *>(
				input.constData());
			quint64 length = b[1] & 0x7F;
			int header = 2;
			if (length == 126) {
				if (input.size() < 4)
					return;
				length = quint64(b[2]) << 8 | b[3];
				header = 4;
			} else if (length == 127) {
				if (input.size() < 10)
					return;
				length = 0;
				for (int i = 2; i < 10; i++)
					length = length << 8 | b[i];
				header = 10;
			}
			if (quint64(input.size()) < header + length)
				return;
			const QJsonObject message =
				QJsonDocument::fromJson(
					input.mid(header, int(length)))
					.object();
			input.remove(0, header + int(length));
			if (message.value("op") == "ready")
				linked = true;
			if (message.value("event") == "obs.exit")
				exitSeen = true;
			messages.append(message);
		}
	}

	void sendAll(const QByteArray &bytes)
	{
		qsizetype sent = 0;
		while (sent < bytes.size()) {
			const ssize_t n = send(fd, bytes.constData() + sent,
					       size_t(bytes.size() - sent),
					       MSG_NOSIGNAL);
			if (n <= 0)
				return;
			sent += n;
		}
	}

	int fd = -1;
	bool exitSeen = false;
	std::thread thread;
};
}

using OutputLimitTest = LinkServerTest;

TEST_F(OutputLimitTest, PeerNotReadingPongsIsReadNoFurtherUntilItTakesThem)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(openRaw(client));
	client.stopReading();
	const int pings = 40;
	QByteArray frames;
	for (int i = 0; i < pings; i++)
		frames += RawClient::frame(0x9, megabyte);
	client.send(frames);

	LinkClient *record = this->record(0);
	ASSERT_TRUE(waitUntil([&] { return record->readPaused; }, 10000));
	pumpEvents(200);
	// Over the limit by at most the pong that crossed it.
	EXPECT_LE(record->socket->bytesToWrite(),
		  maxPendingOutput + megabyte.size() + 10);
	EXPECT_TRUE(record->readPaused);

	// Back-pressure, not loss: every pong arrives once the peer reads.
	client.resumeReading();
	for (int i = 0; i < pings; i++) {
		ServerFrame pong;
		ASSERT_TRUE(client.readFrame(pong, 10000)) << i;
		ASSERT_EQ(pong.opcode, 0xA);
		ASSERT_TRUE(pong.payload == megabyte);
	}
	EXPECT_FALSE(record->readPaused);
	EXPECT_TRUE(client.isConnected());
}

TEST_F(OutputLimitTest, PeerThatStaysStalledIsClosed)
{
	server->setOutputStallMs(300);
	struct Case {
		const char *name;
		bool linked;
	};
	// A peer that pings and never reads; a linked one that sends nothing
	// and never reads the events it is sent.
	for (const Case &c : {Case{"pings", false}, Case{"events", true}}) {
		SCOPED_TRACE(c.name);
		RawClient client;
		if (c.linked)
			ASSERT_NO_FATAL_FAILURE(linkRaw(client));
		else
			ASSERT_NO_FATAL_FAILURE(openRaw(client));
		client.stopReading();
		if (c.linked) {
			for (int i = 0; i < 30; i++)
				server->broadcastEvent(
					"test.big",
					{{"data",
					  QString::fromLatin1(megabyte)}});
		} else {
			QByteArray frames;
			for (int i = 0; i < 30; i++)
				frames += RawClient::frame(0x9, megabyte);
			client.send(frames);
		}
		// (The client, reading nothing, may not notice.)
		EXPECT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }, 10000));
	}
}

TEST_F(OutputLimitTest, PeerTakingItsDataInBurstsIsNotClosed)
{
	// Far longer than a round below takes, even under a sanitizer.
	server->setOutputStallMs(15000);
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));
	auto pending = [this] {
		const LinkClient *record = this->record(0);
		return record ? record->socket->bytesToWrite() : -1;
	};
	// Each round puts the output over the limit, then the peer takes
	// enough of it for the server to read again: never stalled for long.
	for (int round = 0; round < 2; round++) {
		SCOPED_TRACE(round);
		client.stopReading();
		for (int i = 0; i < 30; i++)
			server->broadcastEvent(
				"test.big",
				{{"data", QString::fromLatin1(megabyte)}});
		EXPECT_GT(pending(), maxPendingOutput);
		pumpEvents(100);
		client.resumeReading();
		ASSERT_TRUE(waitUntil(
			[&] {
				client.received.clear();
				const qint64 left = pending();
				return left >= 0 &&
				       left <= maxPendingOutput / 2;
			},
			10000));
	}
	EXPECT_TRUE(waitUntil([&] { return pending() <= 0; }, 10000));
	EXPECT_EQ(server->clientList().size(), 1u);
	EXPECT_TRUE(client.isConnected());
}

TEST_F(OutputLimitTest, ClosingDeliversTheLastEventToAPeerStillSending)
{
	ThreadClient client;
	client.start(port);
	ASSERT_TRUE(client.connected);
	ASSERT_TRUE(waitUntil([&] { return client.linked.load(); }));

	// Without the event loop: what the peer sends meanwhile stays unread,
	// as when OBS closes in the middle of a client's burst.
	// More than the system's buffers of both ends hold.
	const int bigEvents = 12;
	for (int i = 0; i < bigEvents; i++)
		server->broadcastEvent(
			"test.big", {{"data", QString::fromLatin1(megabyte)}});
	server->broadcastEvent("obs.exit", QJsonObject());
	usleep(50 * 1000);
	server->deliverBeforeExit(5000);
	server->stop();
	pumpEvents(50); // the sockets' deferred deletion, as at unload

	ASSERT_TRUE(waitUntil([&] { return client.ended.load(); }, 10000));
	QList<QJsonObject> events;
	for (const QJsonObject &message : client.messages)
		if (message.value("op") == "event")
			events.append(message);
	ASSERT_EQ(events.size(), bigEvents + 1);
	EXPECT_EQ(events.last().value("event"), "obs.exit");
}
