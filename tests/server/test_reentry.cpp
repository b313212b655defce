// Request handlers that run the event loop: OBS opens modal dialogs inside
// some front-end calls (starting the replay buffer with no sources asks "No
// Sources"), and anything can happen to the server meanwhile.

#include <QTimer>

#include "frontend_double.h"
#include "log_capture.h"
#include "server/link_client.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
const std::string disconnectedLine = logged("Tessil disconnected");
}

using ReentryTest = LinkServerTest;

TEST_F(ReentryTest, ClientLeavingWhileItsRequestRunsTheEventLoop)
{
	RawClient leaving;
	ASSERT_NO_FATAL_FAILURE(linkRaw(leaving));
	WsClient other;
	ASSERT_TRUE(other.openAndLink(port, linkTestToken));
	startLogCapture();

	bool dialogClosed = false;
	QJsonObject servedMeanwhile;
	frontend::onReplayBufferStart([&] {
		// The modal dialog's loop: the client gives up and goes, the
		// server lets its record go (and Qt runs deferred deletions
		// here), another client is served.
		leaving.abort();
		EXPECT_TRUE(waitUntil(
			[&] { return server->clientList().size() == 1; }));
		pumpEvents(20);
		servedMeanwhile = other.request("status");
		dialogClosed = true;
	});
	// The request, another one behind it in the same read, and a ping.
	leaving.send(requestFrame(1, "replay.start") +
		     requestFrame(2, "replay.start") +
		     RawClient::frame(0x9, "p"));
	ASSERT_TRUE(waitUntil([&] { return dialogClosed; }));
	pumpEvents(20);

	EXPECT_EQ(servedMeanwhile.value("ok"), true);
	// Nothing behind the request of a connection that went is handled.
	EXPECT_EQ(frontend::replayStartCount(), 1);
	EXPECT_EQ(countLogLines(LOG_INFO, disconnectedLine), 1);
	EXPECT_EQ(other.request("status").value("ok"), true);
	EXPECT_EQ(server->linkedCount(), 1);
	stopLogCapture();
}

TEST_F(ReentryTest, ServerRestartedWhileARequestRunsTheEventLoop)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));

	bool dialogClosed = false;
	frontend::onReplayBufferStart([&] {
		// The Link dialog's Save (LAN access changed), clicked while
		// the other dialog's loop runs.
		QTimer::singleShot(0, server.get(), [&] {
			EXPECT_TRUE(server->listen(port, false));
		});
		pumpEvents(50);
		dialogClosed = true;
	});
	client.send(requestFrame(1, "replay.start") +
		    requestFrame(2, "status"));
	ASSERT_TRUE(waitUntil([&] { return dialogClosed; }));

	// The dropped connection gets no reply, and nothing behind its
	// request is handled; the new listener serves.
	EXPECT_TRUE(client.waitDisconnected());
	EXPECT_TRUE(client.received.isEmpty());
	EXPECT_EQ(frontend::replayStartCount(), 1);
	EXPECT_TRUE(server->clientList().empty());
	WsClient next;
	EXPECT_TRUE(next.openAndLink(port, linkTestToken));
}

TEST_F(ReentryTest, InputArrivingMeanwhileWaitsAndIsHandledAfter)
{
	RawClient client;
	ASSERT_NO_FATAL_FAILURE(linkRaw(client));
	const QByteArray payload(64 * 1024, 'p');
	const int pings = 96; // 6 MiB, within the buffer limit

	bool dialogClosed = false;
	qint64 heldBySocket = 0;
	frontend::onReplayBufferStart([&] {
		QByteArray frames;
		for (int i = 0; i < pings; i++)
			frames += RawClient::frame(0x9, payload);
		client.send(frames);
		pumpEvents(300);
		heldBySocket = record(0)->socket->bytesAvailable();
		dialogClosed = true;
	});
	client.send(requestFrame(1, "replay.start"));
	ASSERT_TRUE(waitUntil([&] { return dialogClosed; }));

	// What came in during the dialog stayed in the system, beyond what
	// the socket may hold.
	EXPECT_LE(heldBySocket, socketReadBufferSize);
	// Then everything is answered, in order.
	EXPECT_EQ(client.readJson().value("id"), 1);
	for (int i = 0; i < pings; i++) {
		ServerFrame pong;
		ASSERT_TRUE(client.readFrame(pong)) << i;
		ASSERT_EQ(pong.opcode, 0xA);
		ASSERT_TRUE(pong.payload == payload);
	}
}
