#pragma once

// Real clients of the link over loopback.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QTcpSocket>
#include <QWebSocket>

#include <memory>

// A frame as the server wrote it.
struct ServerFrame {
	int firstByte = 0;
	int opcode = 0;
	int headerSize = 0;
	QByteArray payload;
};

// A raw TCP client that speaks the WebSocket wire format by hand, for
// byte-level tests.
class RawClient {
public:
	RawClient();
	bool connectTo(int port);
	void send(const QByteArray &bytes);
	// Sends a standard upgrade request and waits for the 101 answer.
	bool upgrade();
	// Waits for one complete server frame and takes it off the buffer.
	bool readFrame(ServerFrame &frame, int timeoutMs = 3000);
	QJsonObject readJson(int timeoutMs = 3000);
	bool waitForBytes(int count, int timeoutMs = 3000);
	bool waitDisconnected(int timeoutMs = 3000);
	bool isConnected() const;
	// Drops the connection at once (the peer sees a reset).
	void abort();
	// Stops taking what the server sends: Qt holds a byte of it, the
	// rest waits in the system, and the server's output piles up. Then
	// takes everything again.
	void stopReading();
	void resumeReading();
	// What the socket has not yet handed to the system.
	qint64 unsent() const;
	// Waits until the system holds data for this client, without running
	// the event loop: whatever arrives meanwhile was sent by code that is
	// still running further up the stack.
	bool waitInSystem(int timeoutMs = 3000) const;

	// A client frame: masked unless told otherwise.
	static QByteArray frame(int opcode, const QByteArray &payload,
				bool masked = true, bool fin = true);
	static QByteArray textFrame(const QJsonObject &object);
	static QByteArray upgradeRequest(const QByteArray &extraHeaders = {});

	// Bytes received and not yet taken.
	QByteArray received;

private:
	std::unique_ptr<QTcpSocket> socket;
	bool reading = true;
};

// A Qt WebSocket client that links with a token.
class WsClient {
public:
	WsClient();
	~WsClient();
	// Connects and waits for "hello".
	bool open(int port);
	// Sends "auth" and returns the answer ("ready" or "denied").
	QJsonObject authenticate(const QString &token,
				 const QString &version = "1.2");
	bool openAndLink(int port, const QString &token);
	void sendJson(const QJsonObject &object);
	// Sends a request and waits for the reply with its id.
	QJsonObject request(const QString &cmd,
			    const QJsonObject &args = QJsonObject(),
			    int id = 1);
	// Waits for the next message; empty object on time-out.
	QJsonObject next(int timeoutMs = 3000);
	bool waitDisconnected(int timeoutMs = 3000);

	QJsonObject hello;
	QList<QJsonObject> messages;
	QWebSocket socket;
	bool disconnected = false;
};
