// libFuzzer target for the read path of one connection: the upgrade request
// and the frame decoder, fed to consumeInput in reads of varying sizes.
//
// Input layout: the low three bits of byte 0 give how many read-size bytes
// follow (0: the whole stream arrives in one read); the reads cycle through
// those sizes. Everything after them is the byte stream the client sends.
//
// Each run is compared with a model that decodes the whole stream in one
// pass, written independently of the server code: a frame or request head
// split across reads must give exactly the same answers, messages and
// remaining bytes as one read.

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server/framing.h"
#include "server/json_guard.h"
#include "server/link_client.h"
#include "server/wire_sink.h"

namespace {
const char fuzzToken[] = "fuzz-token";

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "broken invariant: %s\n", what);
	abort();
}

void require(bool condition, const char *what)
{
	if (!condition)
		fail(what);
}

struct Event {
	enum Kind { Answer, Frame, Hello, Message, Disconnect };
	Kind kind;
	int opcode;
	QByteArray bytes;

	bool operator==(const Event &other) const
	{
		return kind == other.kind && opcode == other.opcode &&
		       bytes == other.bytes;
	}
};

QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The protocol layer as far as the read path sees it: a connection whose
// first message is not the right "auth" is refused and closed, and the
// frames behind that message are never looked at.
bool refuses(bool &authenticated, const QJsonObject &message)
{
	if (authenticated)
		return false;
	if (message.value("op").toString() == "auth" &&
	    message.value("token").toString() == fuzzToken) {
		authenticated = true;
		return false;
	}
	return true;
}

// A header from frameHeader must be FIN + opcode, unmasked, and carry the
// size in the shortest of the three length forms.
void checkFrameHeader(int opcode, uint64_t size)
{
	const QByteArray header = frameHeader(opcode, size);
	require(header.size() >= 2, "frame header too short");
	const auto *bytes = reinterpret_cast<const uint8_t *>(header.data());
	require(bytes[0] == (0x80 | opcode), "frame header first byte");
	require(!(bytes[1] & 0x80), "server frame masked");
	const int code = bytes[1] & 0x7F;
	uint64_t length = code;
	int expectedSize = 2;
	if (code == 126) {
		expectedSize = 4;
		length = uint64_t(bytes[2]) << 8 | bytes[3];
		require(length > 125, "16-bit length where 7 bits fit");
	} else if (code == 127) {
		expectedSize = 10;
		length = 0;
		for (int i = 2; i < 10; i++)
			length = length << 8 | bytes[i];
		require(length > 0xFFFF, "64-bit length where 16 bits fit");
	}
	require(header.size() == expectedSize, "frame header size");
	require(length == size, "frame header length");
}

// Records what the read path does, and checks the order of it.
class Recorder : public WireSink {
public:
	explicit Recorder(LinkClient &client) : client(client) {}

	void writeRaw(const QByteArray &bytes) override
	{
		enter();
		require(!client.handshakeDone && !answered,
			"raw write after the upgrade");
		answered = true;
		events.push_back({Event::Answer, 0, bytes});
	}
	void sendFrame(int opcode, const QByteArray &payload) override
	{
		enter();
		require(client.handshakeDone, "frame before the upgrade");
		require(opcode == OpPong || opcode == OpClose,
			"decoder sent an unexpected opcode");
		require(opcode != OpClose || payload.isEmpty(),
			"close answer with a payload");
		checkFrameHeader(opcode, uint64_t(payload.size()));
		events.push_back({Event::Frame, opcode, payload});
	}
	void sendHello() override
	{
		enter();
		require(client.handshakeDone && answered && !greeted,
			"hello out of order");
		greeted = true;
		events.push_back({Event::Hello, 0, QByteArray()});
	}
	void handleMessage(const QJsonObject &message) override
	{
		enter();
		require(greeted, "message before the hello");
		events.push_back({Event::Message, 0, compact(message)});
		if (refuses(authenticated, message)) {
			// What the server's refusal does to the record.
			client.closing = true;
			closed = true;
		}
	}
	void disconnect() override
	{
		enter();
		require(client.closing, "disconnect without closing");
		closed = true;
		events.push_back({Event::Disconnect, 0, QByteArray()});
	}

	std::vector<Event> events;
	bool closed = false;

private:
	void enter() const
	{
		require(!closed, "sink called after the connection closed");
	}

	LinkClient &client;
	bool answered = false;
	bool greeted = false;
	bool authenticated = false;
};

bool isBlank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
	       c == '\f';
}

std::string trim(const std::string &text)
{
	size_t begin = 0;
	size_t end = text.size();
	while (begin < end && isBlank(text[begin]))
		begin++;
	while (end > begin && isBlank(text[end - 1]))
		end--;
	return text.substr(begin, end - begin);
}

// The value after `name` (lower case, colon included) when `line` starts
// with it in any letter case.
bool headerLine(const std::string &line, const char *name, std::string &value)
{
	const size_t length = strlen(name);
	if (line.size() < length)
		return false;
	for (size_t i = 0; i < length; i++) {
		char c = line[i];
		if (c >= 'A' && c <= 'Z')
			c = char(c - 'A' + 'a');
		if (c != name[i])
			return false;
	}
	value = trim(line.substr(length));
	return true;
}

struct Expected {
	std::vector<Event> events;
	bool upgraded = false;
	bool closes = false;
	// What stays in the buffer when the connection stays open.
	QByteArray rest;
};

// The whole stream decoded in one pass.
Expected expectedOutcome(const QByteArray &stream)
{
	Expected out;
	const std::string text(stream.constData(), size_t(stream.size()));
	const size_t headEnd = text.find("\r\n\r\n");
	if (headEnd == std::string::npos) {
		out.rest = stream;
		return out;
	}

	std::string key;
	std::string origin;
	size_t lineStart = 0;
	while (lineStart <= headEnd) {
		size_t lineEnd = text.find('\n', lineStart);
		if (lineEnd == std::string::npos || lineEnd > headEnd)
			lineEnd = headEnd;
		const std::string line =
			trim(text.substr(lineStart, lineEnd - lineStart));
		headerLine(line, "sec-websocket-key:", key) ||
			headerLine(line, "origin:", origin);
		lineStart = lineEnd + 1;
	}
	if (key.empty() || !origin.empty()) {
		out.closes = true;
		out.events.push_back({Event::Disconnect, 0, QByteArray()});
		return out;
	}

	const QByteArray accept =
		QCryptographicHash::hash(
			QByteArray::fromStdString(
				key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"),
			QCryptographicHash::Sha1)
			.toBase64();
	out.upgraded = true;
	out.events.push_back(
		{Event::Answer, 0,
		 "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
		 "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
			 accept + "\r\n\r\n"});
	out.events.push_back({Event::Hello, 0, QByteArray()});

	const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
	const size_t size = text.size();
	size_t frameStart = headEnd + 4;
	bool authenticated = false;
	for (;;) {
		size_t at = frameStart;
		auto take = [&](size_t count) {
			if (size - at < count)
				return false;
			at += count;
			return true;
		};
		if (!take(2))
			break;
		const int opcode = bytes[frameStart] & 0x0F;
		const bool masked = bytes[frameStart + 1] & 0x80;
		uint64_t length = bytes[frameStart + 1] & 0x7F;
		if (length >= 126) {
			const size_t extra = length == 126 ? 2 : 8;
			if (!take(extra))
				break;
			length = 0;
			for (size_t i = at - extra; i < at; i++)
				length = length << 8 | bytes[i];
		}
		uint8_t mask[4] = {0, 0, 0, 0};
		if (masked) {
			if (!take(4))
				break;
			memcpy(mask, bytes + at - 4, 4);
		}
		if (length > size - at)
			break;
		QByteArray payload(text.data() + at, int(length));
		for (int i = 0; i < payload.size(); i++)
			payload[i] = char(payload[i] ^ mask[i % 4]);
		frameStart = at + size_t(length);

		if (opcode == OpClose) {
			out.events.push_back(
				{Event::Frame, OpClose, QByteArray()});
			out.events.push_back(
				{Event::Disconnect, 0, QByteArray()});
			out.closes = true;
			return out;
		}
		if (opcode == OpPing)
			out.events.push_back({Event::Frame, OpPong, payload});
		if (opcode != OpText)
			continue;
		// Text the server declines to parse (repeated keys, deep
		// nesting) is no message; the model must not parse it either.
		if (!jsonSafeToParse(payload.constData(), payload.size()))
			continue;
		const QJsonDocument document = QJsonDocument::fromJson(payload);
		if (!document.isObject())
			continue;
		out.events.push_back(
			{Event::Message, 0, compact(document.object())});
		if (refuses(authenticated, document.object())) {
			out.closes = true;
			return out;
		}
	}
	out.rest = stream.mid(int(frameStart));
	return out;
}

int readSize(uint8_t code)
{
	// Mostly tiny reads, which cut heads and frame headers anywhere; the
	// rest carry whole frames.
	return code < 0x80 ? (code & 0x0F) + 1 : (code - 0x7F) * 32;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const size_t sizeCount = data[0] & 0x07;
	if (size < 1 + sizeCount)
		return 0;
	std::vector<int> readSizes;
	for (size_t i = 0; i < sizeCount; i++)
		readSizes.push_back(readSize(data[1 + i]));
	const QByteArray stream(
		reinterpret_cast<const char *>(data + 1 + sizeCount),
		int(size - 1 - sizeCount));

	// Lengths beyond what the stream can hold, for the header writer.
	if (stream.size() >= 8) {
		uint64_t length = 0;
		for (int i = 0; i < 8; i++)
			length = length << 8 | uint8_t(stream[i]);
		checkFrameHeader(OpText, length);
		checkFrameHeader(OpText, length & 0x1FFFF);
	}

	LinkClient client(nullptr);
	Recorder sink(client);
	int offset = 0;
	size_t nextSize = 0;
	// The server reads nothing more from a closing connection.
	while (offset < stream.size() && !client.closing) {
		int chunk = stream.size() - offset;
		if (!readSizes.empty())
			chunk = qMin(chunk,
				     readSizes[nextSize++ % readSizes.size()]);
		client.buffer.append(stream.constData() + offset, chunk);
		offset += chunk;
		require(client.buffer.size() <= maxClientBufferSize + chunk,
			"buffer kept past the limit");
		const int before = client.buffer.size();
		consumeInput(client, sink);
		require(client.buffer.size() <= before,
			"decoder grew the buffer");
		require(client.closing == sink.closed,
			"closing flag and disconnect disagree");
		require(client.closing ||
				client.buffer.size() <= maxClientBufferSize,
			"open connection over the limit");
	}

	const Expected expected = expectedOutcome(stream);
	if (sink.events != expected.events) {
		fprintf(stderr, "got %zu events, expected %zu\n",
			sink.events.size(), expected.events.size());
		fail("events differ from the one-pass decoding");
	}
	require(client.closing == expected.closes, "closing differs");
	require(client.handshakeDone == expected.upgraded, "upgrade differs");
	if (!client.closing)
		require(client.buffer == expected.rest,
			"remaining bytes differ from the one-pass decoding");
	return 0;
}
