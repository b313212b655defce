#pragma once

#include <QByteArray>
#include <QJsonObject>

// Where the read path of one connection sends what it decodes. The server
// connects it to the client's socket and the protocol; tests and the fuzz
// target use their own.
class WireSink {
public:
	virtual ~WireSink() = default;
	// Raw bytes to the peer (the handshake answer).
	virtual void writeRaw(const QByteArray &bytes) = 0;
	// One frame to the peer.
	virtual void sendFrame(int opcode, const QByteArray &payload) = 0;
	// The greeting that follows a successful handshake.
	virtual void sendHello() = 0;
	// One JSON object from a text frame.
	virtual void handleMessage(const QJsonObject &message) = 0;
	// Closes the connection once what was written has gone out.
	virtual void disconnect() = 0;
	// The peer has not yet taken so much of what was written that nothing
	// more of its input should be handled for now.
	virtual bool outputFull() const { return false; }
};
