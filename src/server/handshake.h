#pragma once

#include <QByteArray>

class WireSink;
struct LinkClient;

// The two request headers the upgrade looks at.
struct HandshakeHeaders {
	QByteArray key;
	QByteArray origin;
};

// Offset of the CR LF CR LF that ends the request head in the client's
// buffer, or -1 while it has not arrived. Remembers how far it searched so
// that a slowly arriving head is not scanned again from the start.
int findRequestHeadEnd(LinkClient &client);

// The last Sec-WebSocket-Key and Origin values of a request head.
HandshakeHeaders parseRequestHead(const QByteArray &head);

// Base64 of the SHA-1 of the key and the RFC 6455 suffix.
QByteArray websocketAccept(const QByteArray &key);

// Answers the upgrade whose head ends at `headEnd` and greets the client.
// False when the request is refused (no key, or any Origin); the caller
// then closes the connection. Nothing is written on refusal.
bool acceptHandshake(LinkClient &client, int headEnd, WireSink &sink);
