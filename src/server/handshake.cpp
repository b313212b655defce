#include "server/handshake.h"

#include <QCryptographicHash>

#include "server/link_client.h"
#include "server/wire_sink.h"

namespace {
const char headTerminator[] = "\r\n\r\n";
const char keySuffix[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
const char answerStart[] = "HTTP/1.1 101 Switching Protocols\r\n"
			   "Upgrade: websocket\r\n"
			   "Connection: Upgrade\r\n"
			   "Sec-WebSocket-Accept: ";

bool isAsciiSpace(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
	       c == '\f';
}

QByteArray trimmed(const QByteArray &text)
{
	int begin = 0;
	int end = text.size();
	while (begin < end && isAsciiSpace(text[begin]))
		begin++;
	while (end > begin && isAsciiSpace(text[end - 1]))
		end--;
	return text.mid(begin, end - begin);
}

// The value after the first ':' of `line` when its lower-case form starts
// with `prefix` (which ends in ':').
bool headerValue(const QByteArray &line, const QByteArray &lower,
		 const char *prefix, QByteArray &value)
{
	if (!lower.startsWith(prefix))
		return false;
	value = trimmed(line.mid(line.indexOf(':') + 1));
	return true;
}
}

int findRequestHeadEnd(LinkClient &client)
{
	const int terminatorSize = int(sizeof(headTerminator) - 1);
	const int from = qMax(0, client.headScanned - (terminatorSize - 1));
	const int end = client.buffer.indexOf(headTerminator, from);
	client.headScanned = end < 0 ? client.buffer.size() : end;
	return end;
}

HandshakeHeaders parseRequestHead(const QByteArray &head)
{
	HandshakeHeaders headers;
	for (const QByteArray &rawLine : head.split('\n')) {
		const QByteArray line = trimmed(rawLine);
		const QByteArray lower = line.toLower();
		headerValue(line, lower, "sec-websocket-key:", headers.key) ||
			headerValue(line, lower, "origin:", headers.origin);
	}
	return headers;
}

QByteArray websocketAccept(const QByteArray &key)
{
	return QCryptographicHash::hash(key + keySuffix,
					QCryptographicHash::Sha1)
		.toBase64();
}

bool acceptHandshake(LinkClient &client, int headEnd, WireSink &sink)
{
	const HandshakeHeaders headers =
		parseRequestHead(client.buffer.left(headEnd));
	client.buffer.remove(0, headEnd + int(sizeof(headTerminator) - 1));
	client.headScanned = 0;

	// A browser always sends an Origin: refusing every request that has
	// one keeps web pages away from the link.
	if (headers.key.isEmpty() || !headers.origin.isEmpty())
		return false;

	sink.writeRaw(answerStart + websocketAccept(headers.key) + "\r\n\r\n");
	client.handshakeDone = true;
	sink.sendHello();
	return true;
}
