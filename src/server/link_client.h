#pragma once

#include <QByteArray>
#include <QString>

class QTcpSocket;

// Largest buffer a connection may hold after a read; one byte more closes it.
constexpr int maxClientBufferSize = 8 * 1024 * 1024;

// One accepted connection.
struct LinkClient {
	explicit LinkClient(QTcpSocket *socket_) : socket(socket_) {}

	// A Qt child of the listening server, released with deleteLater.
	QTcpSocket *socket;
	// The "101 Switching Protocols" answer has been written.
	bool handshakeDone = false;
	// The client presented the right token; never cleared.
	bool authenticated = false;
	// Received bytes not yet consumed by the handshake or frame decoder.
	QByteArray buffer;
	// The "app" text of the client's successful "auth" message.
	QString app;

	// Bookkeeping of the read path, not part of the protocol state:
	// how much of `buffer` was already searched for the end of the
	// request head;
	int headScanned = 0;
	// disconnectFromHost was called: nothing more is read or handled;
	bool closing = false;
	// the record is in use further up the stack, and was dropped
	// meanwhile: the read path frees it when it unwinds;
	bool busy = false;
	bool dropped = false;
	// a read stopped at the end of its time slice and the rest of the
	// buffer is to be handled by a queued call, which finds the record
	// again by its serial number.
	bool resumePosted = false;
	quint64 serial = 0;
};
