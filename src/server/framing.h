#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

#include <cstdint>

class WireSink;
struct LinkClient;

enum FrameOpcode {
	OpContinuation = 0x0,
	OpText = 0x1,
	OpBinary = 0x2,
	OpClose = 0x8,
	OpPing = 0x9,
	OpPong = 0xA,
};

// The header of a frame the server writes: FIN set, never masked, the
// length in the shortest form.
QByteArray frameHeader(int opcode, uint64_t payloadSize);

// Handles every complete frame in the client's buffer, in order, and removes
// what it consumed once at the end. Stops at the first incomplete frame, as
// soon as the connection is closing or dropped, once `deadline` has passed
// (looked at after each message and every 64 frames), and once the sink's
// output is full (looked at after each message and ping). Returns true when
// it stopped for the deadline or the output: complete frames may be left
// for a later call.
bool processFrames(LinkClient &client, WireSink &sink,
		   QDeadlineTimer deadline = QDeadlineTimer::Forever);

// Everything a read does after its bytes were appended to the buffer: the
// buffer limit, the upgrade, then the frames, until `deadline` (see
// processFrames). The form without a deadline handles everything.
bool consumeInput(LinkClient &client, WireSink &sink, QDeadlineTimer deadline);
void consumeInput(LinkClient &client, WireSink &sink);
