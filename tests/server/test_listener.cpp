#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>

#include "config/link_config.h"
#include "log_capture.h"
#include "server_fixture.h"
#include "wait.h"

namespace {
const std::string disconnectedLine = logged("Tessil disconnected");

std::string listenFailure(int port, const QString &reason)
{
	return logged("cannot listen on port " + std::to_string(port) + " (" +
		      reason.toStdString() + ")");
}

// True when a connection to the loopback port is refused.
bool connectionRefused(int port)
{
	QTcpSocket socket;
	socket.connectToHost(QHostAddress::LocalHost, quint16(port));
	return waitUntil([&] {
		return socket.error() ==
		       QAbstractSocket::ConnectionRefusedError;
	});
}

// Runs `work` from the event loop, as a dialog button or a host callback
// would, and waits until it has run.
void runFromEventLoop(const std::function<void()> &work)
{
	bool done = false;
	QMetaObject::invokeMethod(
		QCoreApplication::instance(),
		[&]() {
			work();
			done = true;
		},
		Qt::QueuedConnection);
	ASSERT_TRUE(waitUntil([&] { return done; }));
}
}

using ListenerTest = LinkServerTest;

TEST_F(ListenerTest, ServesSeveralClientsAndCountsOnlyLinkedOnes)
{
	WsClient first, second;
	ASSERT_TRUE(first.openAndLink(port, linkTestToken));
	ASSERT_TRUE(second.openAndLink(port, linkTestToken));
	RawClient upgraded, silent;
	ASSERT_NO_FATAL_FAILURE(openRaw(upgraded));
	ASSERT_TRUE(silent.connectTo(port));
	ASSERT_TRUE(
		waitUntil([&] { return server->clientList().size() == 4; }));

	EXPECT_EQ(server->linkedCount(), 2);
	EXPECT_EQ(first.request("status").value("ok"), true);
	EXPECT_EQ(second.request("status").value("ok"), true);

	// A client that never speaks is left alone and never counts.
	pumpEvents(50);
	EXPECT_TRUE(silent.isConnected());
	EXPECT_TRUE(silent.received.isEmpty());
	EXPECT_TRUE(upgraded.isConnected());
	EXPECT_EQ(server->clientList().size(), 4u);
	EXPECT_EQ(server->linkedCount(), 2);
}

// Without TCP_NODELAY a reply written while an event to the same client is
// still unacknowledged waits for the client's delayed acknowledgement.
TEST_F(ListenerTest, EveryConnectionSendsWithoutDelay)
{
	WsClient linked;
	ASSERT_TRUE(linked.openAndLink(port, linkTestToken));
	RawClient silent;
	ASSERT_TRUE(silent.connectTo(port));
	ASSERT_TRUE(
		waitUntil([&] { return server->clientList().size() == 2; }));

	for (const auto &client : server->clientList()) {
		int noDelay = 0;
		socklen_t size = sizeof(noDelay);
		ASSERT_EQ(getsockopt(int(client->socket->socketDescriptor()),
				     IPPROTO_TCP, TCP_NODELAY, &noDelay, &size),
			  0);
		EXPECT_NE(noDelay, 0);
	}
}

TEST_F(ListenerTest, ListenAgainDropsEveryClientSilently)
{
	WsClient linked;
	ASSERT_TRUE(linked.openAndLink(port, linkTestToken));
	RawClient rawLinked, silent;
	ASSERT_NO_FATAL_FAILURE(linkRaw(rawLinked));
	ASSERT_TRUE(silent.connectTo(port));
	ASSERT_TRUE(
		waitUntil([&] { return server->clientList().size() == 3; }));
	ASSERT_EQ(server->linkedCount(), 2);

	bool listening = false;
	int linkedRightAfter = -1;
	ASSERT_NO_FATAL_FAILURE(runFromEventLoop([&] {
		listening = server->listen(port, false);
		linkedRightAfter = server->linkedCount();
	}));
	EXPECT_TRUE(listening);
	EXPECT_EQ(linkedRightAfter, 0);
	EXPECT_TRUE(server->clientList().empty());

	// The connections end without a close frame or any other byte.
	EXPECT_TRUE(rawLinked.waitDisconnected());
	EXPECT_TRUE(silent.waitDisconnected());
	EXPECT_TRUE(linked.waitDisconnected());
	EXPECT_TRUE(rawLinked.received.isEmpty());
	EXPECT_TRUE(silent.received.isEmpty());
	EXPECT_TRUE(linked.messages.isEmpty());
	EXPECT_EQ(countLogLines(LOG_INFO, disconnectedLine), 0);

	// The same port serves new clients.
	WsClient again;
	EXPECT_TRUE(again.openAndLink(port, linkTestToken));
	EXPECT_EQ(server->linkedCount(), 1);
}

TEST_F(ListenerTest, OnlyLinkedClientsLeaveALineWhenTheyGo)
{
	struct Case {
		const char *name;
		bool upgrade;
		bool link;
		int lines;
	};
	const Case cases[] = {
		{"connected only", false, false, 0},
		{"upgraded", true, false, 0},
		{"linked", true, true, 1},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		clearCapturedLog();
		auto client = std::make_unique<RawClient>();
		if (c.link)
			ASSERT_NO_FATAL_FAILURE(linkRaw(*client));
		else if (c.upgrade)
			ASSERT_NO_FATAL_FAILURE(openRaw(*client));
		else
			ASSERT_TRUE(client->connectTo(port));
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().size() == 1; }));

		client.reset();
		ASSERT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
		EXPECT_EQ(countLogLines(LOG_INFO, disconnectedLine), c.lines);
		EXPECT_EQ(server->linkedCount(), 0);
	}
}

TEST_F(ListenerTest, BufferHoldsExactly8MiBAndOneByteMoreCloses)
{
	const int limit = 8388608;
	clearCapturedLog();
	// Before the upgrade: a request head that never ends. After it: a
	// frame that declares more than the limit and never completes.
	for (const bool upgraded : {false, true}) {
		SCOPED_TRACE(upgraded ? "unfinished frame" : "unfinished head");
		RawClient client;
		QByteArray start;
		if (upgraded) {
			ASSERT_NO_FATAL_FAILURE(openRaw(client));
			start = QByteArray::fromHex("817f0000000000900000");
		} else {
			ASSERT_TRUE(client.connectTo(port));
		}
		client.send(start + QByteArray(limit - start.size(), 'x'));
		ASSERT_TRUE(waitBuffered(0, limit, 20000));
		pumpEvents(20);
		EXPECT_TRUE(client.isConnected());
		EXPECT_EQ(server->clientList().size(), 1u);

		client.send("x");
		EXPECT_TRUE(client.waitDisconnected());
		EXPECT_TRUE(client.received.isEmpty());
		EXPECT_TRUE(waitUntil(
			[&] { return server->clientList().empty(); }));
	}
	// Nothing is logged for these closes.
	EXPECT_TRUE(capturedLog().empty());
}

TEST_F(ListenerTest, ListenLogsTheAddressItServes)
{
	for (const bool allowLan : {false, true}) {
		SCOPED_TRACE(allowLan ? "LAN" : "loopback");
		clearCapturedLog();
		const int newPort = freeTcpPort();
		ASSERT_TRUE(server->listen(newPort, allowLan));
		EXPECT_EQ(countLogLines(
				  LOG_INFO,
				  logged("waiting for Tessil on ws://" +
					 std::string(allowLan ? "0.0.0.0"
							      : "127.0.0.1") +
					 ":" + std::to_string(newPort))),
			  1);
		WsClient client;
		EXPECT_TRUE(client.openAndLink(newPort, linkTestToken));
	}
}

TEST_F(ListenerTest, RefusedPortsAreLoggedAndLeaveTheServerClosed)
{
	QTcpServer holder;
	ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
	const int taken = holder.serverPort();
	// Qt's own reason for the taken port.
	QTcpServer probe;
	ASSERT_FALSE(probe.listen(QHostAddress::LocalHost, quint16(taken)));

	struct Case {
		int port;
		QString reason;
	};
	const QString outOfRange = "the port must be a number from 1 to 65535";
	const Case cases[] = {
		{taken, probe.errorString()},
		// A port the system picks could not be known to the companion
		// application, so 0 is refused like numbers that are no port.
		{0, outOfRange},
		{70000, outOfRange},
		{65536, outOfRange},
		{-1, outOfRange},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.port);
		if (!server->isListening()) {
			ASSERT_TRUE(server->listen(port, false));
		}
		RawClient client;
		ASSERT_NO_FATAL_FAILURE(linkRaw(client));
		ASSERT_EQ(server->linkedCount(), 1);
		clearCapturedLog();

		EXPECT_FALSE(server->listen(c.port, false));
		EXPECT_EQ(countLogLines(LOG_WARNING,
					listenFailure(c.port, c.reason)),
			  1);
		EXPECT_FALSE(server->isListening());
		EXPECT_EQ(server->linkedCount(), 0);
		EXPECT_TRUE(connectionRefused(port));
	}
}
