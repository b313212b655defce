#include "server/framing.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "server/handshake.h"
#include "server/json_guard.h"
#include "server/link_client.h"
#include "server/wire_sink.h"

namespace {
void closeConnection(LinkClient &client, WireSink &sink)
{
	client.closing = true;
	sink.disconnect();
}

void handleTextFrame(const char *payload, qsizetype size, WireSink &sink)
{
	if (!jsonSafeToParse(payload, size))
		return;
	const QJsonDocument document =
		QJsonDocument::fromJson(QByteArray::fromRawData(payload, size));
	if (document.isObject())
		sink.handleMessage(document.object());
}
}

QByteArray frameHeader(int opcode, uint64_t payloadSize)
{
	QByteArray header;
	header.reserve(10);
	header.append(char(0x80 | (opcode & 0x0F)));
	if (payloadSize <= 125) {
		header.append(char(payloadSize));
	} else if (payloadSize <= 0xFFFF) {
		header.append(char(126));
		header.append(char(payloadSize >> 8));
		header.append(char(payloadSize & 0xFF));
	} else {
		header.append(char(127));
		for (int shift = 56; shift >= 0; shift -= 8)
			header.append(char((payloadSize >> shift) & 0xFF));
	}
	return header;
}

bool processFrames(LinkClient &client, WireSink &sink, QDeadlineTimer deadline)
{
	QByteArray &buffer = client.buffer;
	// Frames are walked in place: the consumed bytes leave the buffer in
	// one move at the end, whatever the number of frames.
	auto *base = reinterpret_cast<uint8_t *>(buffer.data());
	const uint64_t size = uint64_t(buffer.size());
	uint64_t offset = 0;
	bool outOfTime = false;
	unsigned frames = 0;
	bool outputFull = false;
	while (client.handling() && !outOfTime && !outputFull) {
		uint8_t *bytes = base + offset;
		const uint64_t available = size - offset;
		if (available < 2)
			break;

		const int opcode = bytes[0] & 0x0F;
		const bool masked = bytes[1] & 0x80;
		uint64_t length = bytes[1] & 0x7F;
		uint64_t headerSize = 2;
		if (length == 126) {
			if (available < 4)
				break;
			length = uint64_t(bytes[2]) << 8 | bytes[3];
			headerSize = 4;
		} else if (length == 127) {
			if (available < 10)
				break;
			length = 0;
			for (int i = 2; i < 10; i++)
				length = length << 8 | bytes[i];
			headerSize = 10;
		}
		const uint8_t *key = nullptr;
		if (masked) {
			if (available < headerSize + 4)
				break;
			key = bytes + headerSize;
			headerSize += 4;
		}
		// Compared without forming header + length, which could wrap:
		// a length that can never arrive just waits for the limit.
		if (length > available - headerSize)
			break;

		char *payload = reinterpret_cast<char *>(bytes + headerSize);
		const auto payloadSize = qsizetype(length);
		if (key)
			for (uint64_t i = 0; i < length; i++)
				payload[i] = char(payload[i] ^ key[i & 3]);
		offset += headerSize + length;

		switch (opcode) {
		case OpClose:
			sink.sendFrame(OpClose, QByteArray());
			closeConnection(client, sink);
			break;
		case OpPing:
			sink.sendFrame(OpPong,
				       QByteArray(payload, payloadSize));
			break;
		case OpText:
			handleTextFrame(payload, payloadSize, sink);
			break;
		default:
			break;
		}
		if (opcode == OpText || ++frames % 64 == 0)
			outOfTime = deadline.hasExpired();
		if (opcode == OpText || opcode == OpPing)
			outputFull = sink.outputFull();
	}
	if (offset > 0)
		buffer.remove(0, qsizetype(offset));
	return outOfTime || outputFull;
}

bool consumeInput(LinkClient &client, WireSink &sink, QDeadlineTimer deadline)
{
	if (client.buffer.size() > maxClientBufferSize) {
		closeConnection(client, sink);
		return false;
	}
	if (!client.handshakeDone) {
		const int headEnd = findRequestHeadEnd(client);
		if (headEnd < 0)
			return false;
		if (!acceptHandshake(client, headEnd, sink)) {
			closeConnection(client, sink);
			return false;
		}
	}
	return processFrames(client, sink, deadline);
}

void consumeInput(LinkClient &client, WireSink &sink)
{
	consumeInput(client, sink, QDeadlineTimer::Forever);
}
