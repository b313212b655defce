#include "server/link_server.h"

#include <QPointer>
#include <QTcpSocket>
#include <QThread>

#include "common/link_log.h"
#include "server/framing.h"
#include "server/protocol.h"
#include "server/socket_close.h"
#include "server/wire_sink.h"

namespace {
// How long one read may go on handling a connection's frames before the
// event loop serves OBS and the other connections; the rest of the buffer
// is handled right after, by a queued call. One client pipelining thousands
// of requests then delays the others by a slice, not by all of them.
constexpr int readSliceMs = 8;
// How often connections whose output is over the limit are looked at.
constexpr int outputCheckMs = 250;

// The read path's view of one connection of the server.
class ClientSink : public WireSink {
public:
	ClientSink(LinkServer &server, LinkClient &client)
		: server(server),
		  client(client)
	{
	}

	void writeRaw(const QByteArray &bytes) override
	{
		if (!client.dropped)
			client.socket->write(bytes);
	}
	void sendFrame(int opcode, const QByteArray &payload) override
	{
		server.sendFrame(client, opcode, payload);
	}
	void sendHello() override { server.sendJson(client, helloMessage()); }
	void handleMessage(const QJsonObject &message) override
	{
		server.handleMessage(client, message);
	}
	void disconnect() override
	{
		if (!client.dropped)
			client.socket->disconnectFromHost();
	}
	bool outputFull() const override { return server.outputFull(client); }

private:
	LinkServer &server;
	LinkClient &client;
};
}

LinkServer::LinkServer()
{
	connect(&server, &QTcpServer::newConnection, this,
		&LinkServer::onNewConnection);
	eventTimer.setSingleShot(true);
	connect(&eventTimer, &QTimer::timeout, this,
		&LinkServer::flushQueuedEvents);
	outputTimer.setInterval(outputCheckMs);
	connect(&outputTimer, &QTimer::timeout, this,
		&LinkServer::closeStalledClients);
	clock.start();
}

LinkServer::~LinkServer()
{
	stop();
}

bool LinkServer::listen(int port, bool allowLan)
{
	stop();
	// Port 0 would let the system pick a port that the companion
	// application cannot know; other values do not fit a TCP port.
	if (port < 1 || port > 65535) {
		linkLog(LOG_WARNING, "cannot listen on port %d (%s)", port,
			"the port must be a number from 1 to 65535");
		return false;
	}
	const QHostAddress address = allowLan ? QHostAddress::Any
					      : QHostAddress::LocalHost;
	if (!server.listen(address, static_cast<quint16>(port))) {
		linkLog(LOG_WARNING, "cannot listen on port %d (%s)", port,
			server.errorString().toUtf8().constData());
		return false;
	}
	linkLog(LOG_INFO, "waiting for Tessil on ws://%s:%d",
		allowLan ? "0.0.0.0" : "127.0.0.1", port);
	return true;
}

void LinkServer::deliverBeforeExit(int budgetMs)
{
	// Nothing more is read or handled: what a client sends from now on
	// is dropped, and the events written so far ("obs.exit" last) are
	// the last thing it gets.
	std::vector<QPointer<QTcpSocket>> sockets;
	for (const std::unique_ptr<LinkClient> &client : clients) {
		client->socket->disconnect(this);
		sockets.emplace_back(client->socket);
	}
	const QDeadlineTimer deadline(budgetMs);
	while (!sockets.empty() && !deadline.hasExpired()) {
		for (auto it = sockets.begin(); it != sockets.end();) {
			QTcpSocket *socket = *it;
			if (socket) {
				socket->flush();
				discardUnreadInput(*socket);
			}
			if (!socket || outputDelivered(*socket))
				it = sockets.erase(it);
			else
				++it;
		}
		if (!sockets.empty())
			QThread::msleep(2);
	}
}

void LinkServer::stop()
{
	std::vector<std::unique_ptr<LinkClient>> dropped;
	dropped.swap(clients);
	for (std::unique_ptr<LinkClient> &client : dropped)
		releaseClient(std::move(client));
	if (server.isListening())
		server.close();
}

int LinkServer::linkedCount() const
{
	int count = 0;
	for (const std::unique_ptr<LinkClient> &client : clients)
		if (client->authenticated)
			count++;
	return count;
}

void LinkServer::onNewConnection()
{
	while (QTcpSocket *socket = server.nextPendingConnection()) {
		clients.push_back(std::make_unique<LinkClient>(socket));
		LinkClient *client = clients.back().get();
		client->serial = nextSerial++;
		socket->setReadBufferSize(socketReadBufferSize);
		// Replies and events are small and each is written whole: sent
		// at once, not held back until the peer acknowledges what went
		// before (a companion app that has just sent its request would
		// otherwise wait on its own delayed acknowledgement, 40 ms on
		// Linux, whenever an event reached it just before the reply).
		socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
		connect(socket, &QTcpSocket::readyRead, this,
			[this, client]() { onReadyRead(client); });
		connect(socket, &QTcpSocket::disconnected, this,
			[this, client]() { onDisconnected(client); });
		connect(socket, &QTcpSocket::bytesWritten, this,
			[this, client]() { onBytesWritten(client); });
	}
}

void LinkServer::onReadyRead(LinkClient *client)
{
	if (client->closing) {
		// Whatever a closing connection still sends is not looked at.
		client->socket->readAll();
		return;
	}
	// A read handled further up the stack owns the buffer; what arrives
	// meanwhile waits in the socket (bounded by its read buffer size) for
	// that read or the next notification.
	if (client->busy)
		return;
	// The peer is not taking what it asked for: its input waits until the
	// output has gone (onBytesWritten).
	if (outputFull(*client)) {
		client->readPaused = true;
		return;
	}

	client->busy = true;
	ClientSink sink(*this, *client);
	const QDeadlineTimer deadline(readSliceMs);
	bool unfinished = false;
	do {
		// Asked for exactly what the socket holds in one block (the
		// usual case), Qt hands the block over as it is; readAll would
		// copy it and leave the emptied block allocated in the socket
		// for as long as the connection lives.
		client->buffer.append(
			client->socket->read(client->socket->bytesAvailable()));
		unfinished = consumeInput(*client, sink, deadline);
	} while (!unfinished && client->handling() &&
		 client->socket->bytesAvailable() > 0);
	client->busy = false;
	// A buffer consumed entirely keeps no memory: emptied, it would keep
	// its capacity (16 KiB or more for any read, up to the limit after a
	// large one) on every idle connection.
	if (client->buffer.isEmpty())
		client->buffer = QByteArray();

	// Dropped while in use above, by the peer leaving or by `stop` while
	// a handler ran the event loop: the socket was kept for this read,
	// which now lets both go. Nothing more is sent.
	if (client->dropped) {
		client->socket->deleteLater();
		delete client;
		return;
	}
	if (unfinished && !client->closing) {
		if (outputFull(*client))
			client->readPaused = true;
		else
			resumeReadingLater(*client);
	}
	// What this read produced goes out now rather than when the event
	// loop next polls the socket, which can be after OBS has repainted
	// whatever the request changed. Nothing touches the record after
	// this: a failing write may drop the connection inside the call.
	if (!client->closing)
		client->socket->flush();
}

void LinkServer::resumeReadingLater(LinkClient &client)
{
	if (client.resumePosted)
		return;
	client.resumePosted = true;
	// Queued on the server: a call still pending when the server goes is
	// dropped with it, and one for a connection that went meanwhile finds
	// no record.
	const quint64 serial = client.serial;
	QMetaObject::invokeMethod(
		this,
		[this, serial]() {
			for (const std::unique_ptr<LinkClient> &record :
			     clients) {
				if (record->serial != serial)
					continue;
				record->resumePosted = false;
				onReadyRead(record.get());
				return;
			}
		},
		Qt::QueuedConnection);
}

void LinkServer::onDisconnected(LinkClient *client)
{
	for (auto it = clients.begin(); it != clients.end(); ++it) {
		if (it->get() != client)
			continue;
		std::unique_ptr<LinkClient> record = std::move(*it);
		clients.erase(it);
		if (record->authenticated)
			linkLog(LOG_INFO, "Tessil disconnected");
		releaseClient(std::move(record));
		return;
	}
}

void LinkServer::closeClient(LinkClient &client)
{
	client.closing = true;
	client.socket->disconnectFromHost();
}

void LinkServer::releaseClient(std::unique_ptr<LinkClient> client)
{
	// No later signal of the socket may reach the freed record. What the
	// server already queued on the socket (a last event) goes out first.
	client->socket->disconnect(this);
	closeKeepingOutput(*client->socket);
	if (client->busy) {
		// A read further up the stack (a handler running the event
		// loop) still uses the record and its socket: it frees both
		// when it unwinds. Deleting the socket now would let a nested
		// event loop free it under that read.
		client->dropped = true;
		client.release();
		return;
	}
	client->socket->deleteLater();
}

bool LinkServer::outputFull(LinkClient &client)
{
	if (client.socket->bytesToWrite() <= maxPendingOutput)
		return false;
	if (client.outputFullSince == 0) {
		client.outputFullSince = qMax<qint64>(clock.elapsed(), 1);
		if (!outputTimer.isActive())
			outputTimer.start();
	}
	return true;
}

void LinkServer::onBytesWritten(LinkClient *client)
{
	if (client->socket->bytesToWrite() > maxPendingOutput / 2)
		return;
	client->outputFullSince = 0;
	if (!client->readPaused)
		return;
	client->readPaused = false;
	// Not from here: this can run inside a flush of the read path.
	resumeReadingLater(*client);
}

void LinkServer::closeStalledClients()
{
	const qint64 now = clock.elapsed();
	std::vector<QPointer<QTcpSocket>> stalled;
	bool waiting = false;
	for (const std::unique_ptr<LinkClient> &client : clients) {
		if (client->outputFullSince == 0)
			continue;
		// A connection whose reading waits for its peer stays on the
		// clock until the peer has taken enough to read on (half the
		// limit): one that takes a little and stops is closed too.
		if (!client->readPaused &&
		    client->socket->bytesToWrite() <= maxPendingOutput)
			client->outputFullSince = 0;
		else if (now - client->outputFullSince >= stallMs)
			stalled.emplace_back(client->socket);
		else
			waiting = true;
	}
	if (!waiting)
		outputTimer.stop();
	// The peer has taken nothing for long: its output is thrown away
	// with the connection. Aborting reports the disconnection inside the
	// call, so the list of clients is not walked meanwhile.
	for (const QPointer<QTcpSocket> &socket : stalled)
		if (socket)
			socket->abort();
}
