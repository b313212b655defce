#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QTcpSocket;

// Largest buffer a connection may hold after a read; one byte more closes it.
constexpr int maxClientBufferSize = 8 * 1024 * 1024;
// What the socket itself may hold of a connection's input before the server
// takes it: while a read is in use further up the stack (a request handler
// that runs a nested event loop), input waits in the kernel, not in memory.
constexpr int socketReadBufferSize = 1024 * 1024;
// Output waiting for the peer beyond which nothing more of the connection is
// read until the peer has taken its data; a connection that stays over it
// for `outputStallMs` is closed.
constexpr qint64 maxPendingOutput = 16 * 1024 * 1024;
constexpr int outputStallMs = 10000;

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
	// again by its serial number;
	bool resumePosted = false;
	quint64 serial = 0;
	// reading waits until the output over `maxPendingOutput` has gone
	// out, and since when (milliseconds of the server's clock, 0 while
	// the output is under the limit) it has been over.
	bool readPaused = false;
	qint64 outputFullSince = 0;

	// Whether what the connection sends is still to be handled.
	bool handling() const { return !closing && !dropped; }
};
