#include "server_fixture.h"

#include <QJsonDocument>

#include "config/link_config.h"
#include "wait.h"

void LinkServerTest::SetUp()
{
	ObsTest::SetUp();
	linkConfig().token = linkTestToken;
	server = std::make_unique<LinkServer>();
	port = freeTcpPort();
	ASSERT_TRUE(server->listen(port, false));
}

void LinkServerTest::TearDown()
{
	server.reset();
	ObsTest::TearDown();
}

void LinkServerTest::openRaw(RawClient &client)
{
	ASSERT_TRUE(client.connectTo(port));
	ASSERT_TRUE(client.upgrade());
	ASSERT_EQ(client.readJson().value("op"), "hello");
}

void LinkServerTest::linkRaw(RawClient &client)
{
	ASSERT_NO_FATAL_FAILURE(openRaw(client));
	client.send(authFrame(linkTestToken));
	ASSERT_EQ(client.readJson().value("op"), "ready");
}

LinkClient *LinkServerTest::record(size_t index) const
{
	const auto &clients = server->clientList();
	return index < clients.size() ? clients[index].get() : nullptr;
}

bool LinkServerTest::waitBuffered(size_t index, int size, int timeoutMs) const
{
	return waitUntil(
		[&] {
			const LinkClient *client = record(index);
			return client && client->buffer.size() == size;
		},
		timeoutMs);
}

std::string logged(const std::string &message)
{
	return "[tessil-link] " + message;
}

QJsonObject json(const QByteArray &text)
{
	return QJsonDocument::fromJson(text).object();
}

QByteArray textFrame(const QByteArray &text)
{
	return RawClient::frame(0x1, text);
}

QByteArray authFrame(const QByteArray &token)
{
	return textFrame(R"({"op":"auth","token":")" + token +
			 R"(","app":"raw","version":"1.2"})");
}

QByteArray requestFrame(int id, const char *cmd)
{
	return textFrame(R"({"op":"req","id":)" + QByteArray::number(id) +
			 R"(,"cmd":")" + cmd + "\"}");
}

void expectNothingPending(RawClient &client, const QByteArray &before)
{
	client.send(before + RawClient::frame(0x9, "sentinel"));
	ServerFrame frame;
	ASSERT_TRUE(client.readFrame(frame));
	EXPECT_EQ(frame.opcode, 0xA)
		<< "unexpected frame: " << frame.payload.toStdString();
	EXPECT_EQ(frame.payload, "sentinel");
}

void expectNothingPending(WsClient &client)
{
	bool ponged = false;
	const QMetaObject::Connection connection =
		QObject::connect(&client.socket, &QWebSocket::pong,
				 [&ponged](quint64, const QByteArray &payload) {
					 ponged = payload == "sentinel";
				 });
	client.socket.ping("sentinel");
	EXPECT_TRUE(waitUntil([&] { return ponged; }));
	QObject::disconnect(connection);
	EXPECT_TRUE(client.messages.isEmpty())
		<< "unexpected message: "
		<< QJsonDocument(client.messages.value(0))
			   .toJson(QJsonDocument::Compact)
			   .toStdString();
}
