#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <vector>

#include "server/link_client.h"

// The link's WebSocket server: one listening socket, one record per open
// connection. Lives on OBS's user-interface thread.
class LinkServer : public QObject {
	Q_OBJECT

public:
	LinkServer();
	~LinkServer() override;

	bool listen(int port, bool allowLan);
	void stop();
	// OBS is closing: stops reading from every connection and waits, at
	// most `budgetMs`, until the peers have taken what was written to
	// them, so that closing the sockets cannot lose it. Blocks.
	void deliverBeforeExit(int budgetMs);
	int linkedCount() const;
	bool isListening() const { return server.isListening(); }
	quint16 serverPort() const { return server.serverPort(); }

	// Outgoing messages (framing).
	void sendFrame(LinkClient &client, int opcode,
		       const QByteArray &payload);
	void sendJson(LinkClient &client, const QJsonObject &object);

	// Events to every linked client (protocol).
	void broadcastEvent(const QString &name, QJsonObject data);
	void queueEvent(const QString &name);
	void flushQueuedEvents();

	// Protocol entry point for one JSON object from a client.
	void handleMessage(LinkClient &client, const QJsonObject &message);
	// Closes the connection: the last thing a handler does with `client`.
	void closeClient(LinkClient &client);
	// More of the client's output waits than the peer may leave untaken
	// (notes since when, for closing a connection that stays so).
	bool outputFull(LinkClient &client);
	// How long a connection's output may stay over the limit before the
	// connection is closed (`outputStallMs` unless a test shortens it).
	void setOutputStallMs(int ms) { stallMs = ms; }

	// Test and diagnostic access to the connections.
	const std::vector<std::unique_ptr<LinkClient>> &clientList() const
	{
		return clients;
	}

private:
	void onNewConnection();
	void onReadyRead(LinkClient *client);
	void resumeReadingLater(LinkClient &client);
	void onDisconnected(LinkClient *client);
	void onBytesWritten(LinkClient *client);
	void closeStalledClients();

	void handleRequest(LinkClient &client, const QJsonObject &message);
	void releaseClient(std::unique_ptr<LinkClient> client);

	QTcpServer server;
	std::vector<std::unique_ptr<LinkClient>> clients;
	quint64 nextSerial = 1;
	QTimer eventTimer;
	QSet<QString> pendingEvents;
	// Looks for connections whose output stays over the limit, while
	// there are any.
	QTimer outputTimer;
	QElapsedTimer clock;
	int stallMs = outputStallMs;
};
