// Timings of the read path on one read that fills a connection's buffer up
// to its limit. Prints a table; nothing here passes or fails on time.
//
//   (a)  8 MiB of 2-byte unmasked pongs, which the decoder drops: the cost
//        of walking frames, one consumeInput call.
//   (a') the same frames, consumed the old way (each frame cut from the
//        front of the buffer on its own), on smaller reads: the cost grows
//        with the square of the read, hence the extrapolation to 8 MiB.
//   (b0) ~8 MiB of masked "status" requests, decoded and parsed as JSON,
//        with a sink that only counts the messages.
//   (b)  the same read through LinkServer::handleMessage on an
//        authenticated client without a socket: every request runs the
//        "status" command and serialises its reply, which sendFrame then
//        drops. Needs libOBS started, so an X display (Xvfb).

#include <obs-module.h>
#include <obs.h>
#include <util/base.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "config/link_config.h"
#include "server/framing.h"
#include "server/json_guard.h"
#include "server/link_client.h"
#include "server/link_server.h"
#include "server/protocol.h"
#include "server/wire_sink.h"

namespace {
const char benchToken[] = "bench-token";
const int repeats = 5;

// libOBS and the front-end API log through blog; the front-end API warns on
// every call when no OBS user interface is there. Those lines are counted,
// not printed, so that they do not time the terminal.
long droppedLogLines = 0;

void countLogLine(int, const char *, va_list, void *)
{
	droppedLogLines++;
}

class CountingSink : public WireSink {
public:
	void writeRaw(const QByteArray &) override {}
	void sendFrame(int, const QByteArray &) override { frames++; }
	void sendHello() override {}
	void handleMessage(const QJsonObject &) override { messages++; }
	void disconnect() override { closed = true; }

	long frames = 0;
	long messages = 0;
	bool closed = false;
};

// The server's own sink, for a client without a socket.
class ServerSink : public WireSink {
public:
	ServerSink(LinkServer &server, LinkClient &client)
		: server(server),
		  client(client)
	{
	}

	void writeRaw(const QByteArray &) override {}
	void sendFrame(int opcode, const QByteArray &payload) override
	{
		server.sendFrame(client, opcode, payload);
	}
	void sendHello() override { server.sendJson(client, helloMessage()); }
	void handleMessage(const QJsonObject &message) override
	{
		messages++;
		server.handleMessage(client, message);
	}
	void disconnect() override { client.closing = true; }

	long messages = 0;

private:
	LinkServer &server;
	LinkClient &client;
};

QByteArray maskedText(const QByteArray &payload, uint32_t seed)
{
	QByteArray frame;
	frame.append(char(0x80 | OpText));
	if (payload.size() <= 125) {
		frame.append(char(0x80 | payload.size()));
	} else {
		frame.append(char(0x80 | 126));
		frame.append(char(payload.size() >> 8));
		frame.append(char(payload.size() & 0xFF));
	}
	const char key[4] = {char(seed), char(seed >> 8), char(0x5A),
			     char(0xC3)};
	frame.append(key, 4);
	for (int i = 0; i < payload.size(); i++)
		frame.append(char(payload[i] ^ key[i & 3]));
	return frame;
}

QByteArray pongs(int bytes)
{
	QByteArray data;
	data.reserve(bytes);
	for (int i = 0; i + 2 <= bytes; i += 2)
		data.append("\x8A\x00", 2);
	return data;
}

// Masked status requests with ids from 1, as many as fit in `limit` bytes.
QByteArray statusRequests(int limit, long &count)
{
	QByteArray data;
	data.reserve(limit);
	count = 0;
	for (;;) {
		const QByteArray frame = maskedText(
			"{\"op\":\"req\",\"id\":" +
				QByteArray::number(qlonglong(count + 1)) +
				",\"cmd\":\"status\"}",
			uint32_t(count));
		if (data.size() + frame.size() > limit)
			return data;
		data.append(frame);
		count++;
	}
}

// The decoder as it was before frames were walked in place: the payload is
// copied out and every frame is cut from the front of the buffer at once.
void processFramesOneByOne(LinkClient &client, WireSink &sink)
{
	QByteArray &buffer = client.buffer;
	while (!client.closing && buffer.size() >= 2) {
		const auto *bytes =
			reinterpret_cast<const uint8_t *>(buffer.constData());
		const uint64_t available = uint64_t(buffer.size());
		const int opcode = bytes[0] & 0x0F;
		const bool masked = bytes[1] & 0x80;
		uint64_t length = bytes[1] & 0x7F;
		uint64_t headerSize = 2;
		if (length == 126) {
			if (available < 4)
				return;
			length = uint64_t(bytes[2]) << 8 | bytes[3];
			headerSize = 4;
		} else if (length == 127) {
			if (available < 10)
				return;
			length = 0;
			for (int i = 2; i < 10; i++)
				length = length << 8 | bytes[i];
			headerSize = 10;
		}
		char key[4] = {0, 0, 0, 0};
		if (masked) {
			if (available < headerSize + 4)
				return;
			memcpy(key, bytes + headerSize, 4);
			headerSize += 4;
		}
		if (length > available - headerSize)
			return;
		QByteArray payload = buffer.mid(int(headerSize), int(length));
		for (int i = 0; i < payload.size(); i++)
			payload[i] = char(payload[i] ^ key[i & 3]);
		buffer.remove(0, int(headerSize + length));
		if (opcode == OpClose) {
			sink.sendFrame(OpClose, QByteArray());
			client.closing = true;
			sink.disconnect();
		} else if (opcode == OpPing) {
			sink.sendFrame(OpPong, payload);
		}
	}
}

struct Timing {
	double minMs;
	double medianMs;
};

// Runs `once` (which sets the buffer up and then times one call) `count`
// times.
Timing measure(int count, const std::function<double()> &once)
{
	std::vector<double> runs;
	for (int i = 0; i < count; i++)
		runs.push_back(once());
	std::sort(runs.begin(), runs.end());
	return {runs.front(), runs[runs.size() / 2]};
}

double millisecondsOf(const std::function<void()> &call)
{
	const auto start = std::chrono::steady_clock::now();
	call();
	const std::chrono::duration<double, std::milli> elapsed =
		std::chrono::steady_clock::now() - start;
	return elapsed.count();
}

LinkClient upgradedClient()
{
	LinkClient client(nullptr);
	client.handshakeDone = true;
	return client;
}

void printHeader()
{
	printf("%-46s %9s %9s %6s %11s %11s %9s\n", "case", "bytes", "frames",
	       "runs", "min ms", "median ms", "ns/frame");
}

void printRow(const char *name, int bytes, long frames, int runs,
	      const Timing &timing)
{
	printf("%-46s %9d %9ld %6d %11.2f %11.2f %9.1f\n", name, bytes, frames,
	       runs, timing.minMs, timing.medianMs,
	       timing.minMs * 1e6 / double(frames));
}

// Times one call of `decode` on a fresh copy of `input`.
Timing timeDecoder(const QByteArray &input, int runs,
		   void (*decode)(LinkClient &, WireSink &))
{
	return measure(runs, [&]() {
		LinkClient client = upgradedClient();
		client.buffer = QByteArray(input.constData(), input.size());
		CountingSink sink;
		const double ms =
			millisecondsOf([&]() { decode(client, sink); });
		if (!client.buffer.isEmpty() || client.closing) {
			fprintf(stderr, "the read was not consumed entirely\n");
			exit(1);
		}
		return ms;
	});
}

void benchPongs()
{
	const QByteArray input = pongs(maxClientBufferSize);
	printRow("(a) pongs, one consumeInput", input.size(), input.size() / 2,
		 repeats, timeDecoder(input, repeats, consumeInput));

	// The old way is quadratic: 8 MiB of it would take far too long, so
	// it runs on smaller reads next to the current decoder.
	double lastOldMs = 0;
	int lastBytes = 0;
	for (int kib : {32, 64, 128, 256}) {
		const QByteArray part = pongs(kib * 1024);
		char name[64];
		snprintf(name, sizeof(name), "(a) pongs, %d KiB, consumeInput",
			 kib);
		printRow(name, part.size(), part.size() / 2, repeats,
			 timeDecoder(part, repeats, consumeInput));
		snprintf(name, sizeof(name),
			 "(a') pongs, %d KiB, one cut per frame", kib);
		const int runs = kib >= 256 ? 1 : 3;
		const Timing old =
			timeDecoder(part, runs, processFramesOneByOne);
		printRow(name, part.size(), part.size() / 2, runs, old);
		lastOldMs = old.minMs;
		lastBytes = part.size();
	}
	const double scale = double(maxClientBufferSize) / lastBytes;
	printf("(a') one cut per frame, extrapolated to 8 MiB (x%.0f^2): "
	       "about %.0f s\n",
	       scale, lastOldMs * scale * scale / 1000.0);
}

void benchStatusDecodeOnly(const QByteArray &input, long count)
{
	Timing timing = measure(repeats, [&]() {
		LinkClient client = upgradedClient();
		client.buffer = QByteArray(input.constData(), input.size());
		CountingSink sink;
		const double ms =
			millisecondsOf([&]() { consumeInput(client, sink); });
		if (sink.messages != count) {
			fprintf(stderr, "decoded %ld of %ld requests\n",
				sink.messages, count);
			exit(1);
		}
		return ms;
	});
	printRow("(b0) status requests, decode + JSON only", input.size(),
		 count, repeats, timing);
}

// The repeated-key check that runs before every parse, next to the parse
// itself: on one small request many times, and on the largest text a
// client can send (8 MiB: one object of short keys, and 1024 nested
// arrays).
void benchJsonGuard()
{
	printf("\n%-46s %9s %11s %11s %9s\n", "(c) text checked before parsing",
	       "bytes", "check ms", "parse ms", "check %");
	const QByteArray request =
		"{\"op\":\"req\",\"id\":12,\"cmd\":\"item.visible\","
		"\"args\":{\"name\":\"Cam\",\"visible\":true}}";
	QByteArray manyKeys = "{";
	for (int i = 0; manyKeys.size() < maxClientBufferSize - 32; i++)
		manyKeys += "\"k" + QByteArray::number(i) + "\":1,";
	manyKeys += "\"end\":0}";
	const QByteArray deep = QByteArray(1024, '[') + QByteArray(1024, ']');

	struct Case {
		const char *name;
		const QByteArray *text;
		int times;
	};
	const Case cases[] = {
		{"one request, 100,000 times", &request, 100000},
		{"8 MiB object of short keys", &manyKeys, 1},
		{"1024 nested arrays, 1,000 times", &deep, 1000},
	};
	for (const Case &c : cases) {
		bool safe = true;
		const Timing check = measure(repeats, [&]() {
			return millisecondsOf([&]() {
				for (int i = 0; i < c.times; i++)
					safe = jsonSafeToParse(
						       c.text->constData(),
						       c.text->size()) &&
					       safe;
			});
		});
		const Timing parse = measure(repeats, [&]() {
			return millisecondsOf([&]() {
				for (int i = 0; i < c.times; i++)
					QJsonDocument::fromJson(*c.text);
			});
		});
		if (!safe) {
			fprintf(stderr, "the check refused %s\n", c.name);
			exit(1);
		}
		printf("%-46s %9d %11.2f %11.2f %9.1f\n", c.name,
		       int(c.text->size()), check.medianMs, parse.medianMs,
		       100.0 * check.medianMs / parse.medianMs);
	}
}

QByteArray upgradeAndAuth()
{
	QByteArray data = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
			  "Upgrade: websocket\r\nConnection: Upgrade\r\n"
			  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
			  "Sec-WebSocket-Version: 13\r\n\r\n";
	data.append(maskedText(
		QByteArray("{\"op\":\"auth\",\"token\":\"") + benchToken +
			"\",\"app\":\"bench\",\"version\":\"0\"}",
		7));
	return data;
}

void benchStatusThroughServer(const QByteArray &input, long count)
{
	linkConfig().token = benchToken;
	LinkServer server;
	LinkClient client(nullptr);
	ServerSink sink(server, client);
	client.buffer = upgradeAndAuth();
	consumeInput(client, sink);
	if (!client.handshakeDone || !client.authenticated) {
		fprintf(stderr, "the bench client did not link\n");
		exit(1);
	}

	const long logLinesBefore = droppedLogLines;
	const int runs = 3;
	const Timing timing = measure(runs, [&]() {
		client.buffer = QByteArray(input.constData(), input.size());
		sink.messages = 0;
		const double ms =
			millisecondsOf([&]() { consumeInput(client, sink); });
		if (sink.messages != count || client.closing) {
			fprintf(stderr, "handled %ld of %ld requests\n",
				sink.messages, count);
			exit(1);
		}
		return ms;
	});
	printRow("(b) status requests, real handleMessage", input.size(), count,
		 runs, timing);
	printf("    (front-end API log lines while timing (b), not printed: "
	       "%ld)\n",
	       droppedLogLines - logLinesBefore);
}
}

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	base_set_log_handler(countLogLine, nullptr);

	printHeader();
	benchPongs();

	long count = 0;
	const QByteArray requests = statusRequests(maxClientBufferSize, count);
	benchStatusDecodeOnly(requests, count);
	benchJsonGuard();

	if (!obs_startup("en-US", nullptr, nullptr)) {
		printf("(b) skipped: obs_startup failed (it needs an X display, "
		       "e.g. Xvfb)\n");
		return 0;
	}
	benchStatusThroughServer(requests, count);
	obs_shutdown();
	return 0;
}
