#pragma once

// A listening LinkServer on a free loopback port, with helpers to open and
// link raw clients and to read what the server wrote.

#include <QByteArray>
#include <QJsonObject>

#include <memory>
#include <string>

#include "link_clients.h"
#include "obs_fixture.h"
#include "server/link_server.h"

// The token the fixture's server expects (a made-up one of the usual form).
constexpr char linkTestToken[] = "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s";

class LinkServerTest : public ObsTest {
protected:
	void SetUp() override;
	void TearDown() override;

	// Connects `client`, upgrades it and takes the hello message.
	void openRaw(RawClient &client);
	// openRaw, then links with the test token and takes "ready".
	void linkRaw(RawClient &client);
	// The server's record of its index-th connection in accept order, or
	// null.
	LinkClient *record(size_t index) const;
	// Waits until the server has buffered `size` bytes of its index-th
	// connection.
	bool waitBuffered(size_t index, int size, int timeoutMs = 5000) const;

	std::unique_ptr<LinkServer> server;
	int port = 0;
};

// A line as the module writes it to the log.
std::string logged(const std::string &message);

// A JSON object from its text (empty when the text is not an object).
QJsonObject json(const QByteArray &text);

// Client frames (masked).
QByteArray textFrame(const QByteArray &text);
QByteArray authFrame(const QByteArray &token);
QByteArray requestFrame(int id, const char *cmd);

// Sends `before` and a ping in one write and expects the pong to be the next
// frame: whatever the frames sent before it caused would have come first.
void expectNothingPending(RawClient &client, const QByteArray &before = {});
// The same for a Qt client: a ping round trip, then no message waiting.
void expectNothingPending(WsClient &client);
