#include "server/handshake.h"

#include <QCryptographicHash>

#include <cstring>

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

// A piece of the request head, read where it lies.
struct Span {
	const char *begin;
	const char *end;

	Span trimmed() const
	{
		Span span = *this;
		while (span.begin < span.end && isAsciiSpace(*span.begin))
			span.begin++;
		while (span.end > span.begin && isAsciiSpace(span.end[-1]))
			span.end--;
		return span;
	}
	// When the span starts with `prefix` (lower case, ending in ':') in
	// any letter case: the value after that colon, trimmed.
	bool headerValue(const char *prefix, Span &value) const
	{
		const size_t length = strlen(prefix);
		if (size_t(end - begin) < length ||
		    qstrnicmp(begin, prefix, uint(length)) != 0)
			return false;
		value = Span{begin + length, end}.trimmed();
		return true;
	}
	QByteArray bytes() const { return QByteArray(begin, int(end - begin)); }
};
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
	// One pass over the head in place: an 8 MiB head of short lines costs
	// its length in time and nothing in memory. Only the last value of
	// each header is copied out.
	Span key{nullptr, nullptr};
	Span origin{nullptr, nullptr};
	const char *const end = head.constData() + head.size();
	const char *lineStart = head.constData();
	for (;;) {
		const auto *newline = static_cast<const char *>(
			memchr(lineStart, '\n', size_t(end - lineStart)));
		const char *lineEnd = newline ? newline : end;
		const Span line = Span{lineStart, lineEnd}.trimmed();
		line.headerValue("sec-websocket-key:", key) ||
			line.headerValue("origin:", origin);
		if (!newline)
			break;
		lineStart = newline + 1;
	}
	return HandshakeHeaders{key.bytes(), origin.bytes()};
}

QByteArray websocketAccept(const QByteArray &key)
{
	return QCryptographicHash::hash(key + keySuffix,
					QCryptographicHash::Sha1)
		.toBase64();
}

bool acceptHandshake(LinkClient &client, int headEnd, WireSink &sink)
{
	const HandshakeHeaders headers = parseRequestHead(
		QByteArray::fromRawData(client.buffer.constData(), headEnd));
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
