#include "link_clients.h"

#include <poll.h>

#include <QJsonDocument>
#include <QUrl>

#include "wait.h"

RawClient::RawClient() : socket(std::make_unique<QTcpSocket>())
{
	QObject::connect(socket.get(), &QTcpSocket::readyRead, [this]() {
		if (reading)
			received.append(socket->readAll());
	});
}

bool RawClient::connectTo(int port)
{
	socket->connectToHost(QHostAddress::LocalHost, quint16(port));
	return waitUntil([this] {
		return socket->state() == QAbstractSocket::ConnectedState;
	});
}

void RawClient::send(const QByteArray &bytes)
{
	socket->write(bytes);
	socket->flush();
}

QByteArray RawClient::upgradeRequest(const QByteArray &extraHeaders)
{
	return "GET / HTTP/1.1\r\n"
	       "Host: 127.0.0.1\r\n"
	       "Upgrade: websocket\r\n"
	       "Connection: Upgrade\r\n"
	       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
	       "Sec-WebSocket-Version: 13\r\n" +
	       extraHeaders + "\r\n";
}

bool RawClient::upgrade()
{
	send(upgradeRequest());
	if (!waitUntil([this] { return received.contains("\r\n\r\n"); }))
		return false;
	const int end = received.indexOf("\r\n\r\n") + 4;
	const bool switched = received.startsWith("HTTP/1.1 101 ");
	received.remove(0, end);
	return switched;
}

bool RawClient::readFrame(ServerFrame &frame, int timeoutMs)
{
	auto complete = [this, &frame]() {
		if (received.size() < 2)
			return false;
		const auto *b =
			reinterpret_cast<const uint8_t *>(received.constData());
		quint64 length = b[1] & 0x7F;
		int header = 2;
		if (length == 126) {
			if (received.size() < 4)
				return false;
			length = quint64(b[2]) << 8 | b[3];
			header = 4;
		} else if (length == 127) {
			if (received.size() < 10)
				return false;
			length = 0;
			for (int i = 2; i < 10; i++)
				length = length << 8 | b[i];
			header = 10;
		}
		if (quint64(received.size()) < header + length)
			return false;
		frame.firstByte = b[0];
		frame.opcode = b[0] & 0x0F;
		frame.headerSize = header;
		frame.payload = received.mid(header, int(length));
		received.remove(0, header + int(length));
		return true;
	};
	return waitUntil(complete, timeoutMs);
}

QJsonObject RawClient::readJson(int timeoutMs)
{
	ServerFrame frame;
	if (!readFrame(frame, timeoutMs) || frame.opcode != 0x1)
		return QJsonObject();
	return QJsonDocument::fromJson(frame.payload).object();
}

bool RawClient::waitForBytes(int count, int timeoutMs)
{
	return waitUntil([&] { return received.size() >= count; }, timeoutMs);
}

bool RawClient::waitDisconnected(int timeoutMs)
{
	return waitUntil(
		[this] {
			return socket->state() ==
			       QAbstractSocket::UnconnectedState;
		},
		timeoutMs);
}

bool RawClient::isConnected() const
{
	return socket->state() == QAbstractSocket::ConnectedState;
}

void RawClient::abort()
{
	socket->abort();
}

void RawClient::stopReading()
{
	reading = false;
	socket->setReadBufferSize(1);
}

void RawClient::resumeReading()
{
	reading = true;
	socket->setReadBufferSize(0);
	received.append(socket->readAll());
}

qint64 RawClient::unsent() const
{
	return socket->bytesToWrite();
}

bool RawClient::waitInSystem(int timeoutMs) const
{
	pollfd descriptor = {int(socket->socketDescriptor()), POLLIN, 0};
	return poll(&descriptor, 1, timeoutMs) == 1;
}

QByteArray RawClient::frame(int opcode, const QByteArray &payload, bool masked,
			    bool fin)
{
	QByteArray out;
	out.append(char((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
	const char maskBit = masked ? char(0x80) : char(0);
	const quint64 length = quint64(payload.size());
	if (length <= 125) {
		out.append(char(maskBit | char(length)));
	} else if (length <= 0xFFFF) {
		out.append(char(maskBit | 126));
		out.append(char(length >> 8));
		out.append(char(length & 0xFF));
	} else {
		out.append(char(maskBit | 127));
		for (int shift = 56; shift >= 0; shift -= 8)
			out.append(char((length >> shift) & 0xFF));
	}
	if (!masked)
		return out + payload;
	const char key[4] = {0x37, char(0xFA), 0x21, 0x3D};
	out.append(key, 4);
	for (int i = 0; i < payload.size(); i++)
		out.append(char(payload[i] ^ key[i % 4]));
	return out;
}

QByteArray RawClient::textFrame(const QJsonObject &object)
{
	return frame(0x1, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

WsClient::WsClient()
{
	QObject::connect(
		&socket, &QWebSocket::textMessageReceived,
		[this](const QString &text) {
			messages.append(
				QJsonDocument::fromJson(text.toUtf8()).object());
		});
	QObject::connect(&socket, &QWebSocket::disconnected,
			 [this]() { disconnected = true; });
}

WsClient::~WsClient()
{
	socket.abort();
}

bool WsClient::open(int port)
{
	socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
	hello = next();
	return hello.value("op").toString() == "hello";
}

QJsonObject WsClient::authenticate(const QString &token, const QString &version)
{
	sendJson({{"op", "auth"},
		  {"token", token},
		  {"app", "tests"},
		  {"version", version}});
	return next();
}

bool WsClient::openAndLink(int port, const QString &token)
{
	return open(port) &&
	       authenticate(token).value("op").toString() == "ready";
}

void WsClient::sendJson(const QJsonObject &object)
{
	socket.sendTextMessage(QString::fromUtf8(
		QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

QJsonObject WsClient::request(const QString &cmd, const QJsonObject &args,
			      int id)
{
	sendJson({{"op", "req"}, {"id", id}, {"cmd", cmd}, {"args", args}});
	QJsonObject reply;
	waitUntil([&] {
		for (int i = 0; i < messages.size(); i++) {
			if (messages[i].value("op") == "res") {
				reply = messages.takeAt(i);
				return true;
			}
		}
		return false;
	});
	return reply;
}

QJsonObject WsClient::next(int timeoutMs)
{
	if (!waitUntil([this] { return !messages.isEmpty(); }, timeoutMs))
		return QJsonObject();
	return messages.takeFirst();
}

bool WsClient::waitDisconnected(int timeoutMs)
{
	return waitUntil([this] { return disconnected; }, timeoutMs);
}
