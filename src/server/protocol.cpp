// The link protocol: greeting, authentication, routing of client messages,
// and events to linked clients.
#include "server/link_server.h"

#include <obs.h>

#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>

#include <vector>

#include "config/link_config.h"
#include "common/link_log.h"
#include "server/command_table.h"
#include "server/framing.h"
#include "server/protocol.h"
#include "server/token_compare.h"

namespace {
constexpr int eventDelayMs = 250;
constexpr int protocolVersion = 2;

QString textMember(const QJsonObject &message, const char *name)
{
	return message.value(QLatin1String(name)).toString();
}
}

QJsonObject helloMessage()
{
	return QJsonObject{
		{"op", "hello"},
		{"plugin", TESSIL_MODULE_NAME},
		{"version", TESSIL_MODULE_VERSION},
		{"obs", QString::fromUtf8(obs_get_version_string())},
		{"protocol", protocolVersion},
	};
}

void LinkServer::sendFrame(LinkClient &client, int opcode,
			   const QByteArray &payload)
{
	QTcpSocket *socket = client.socket;
	// A record dropped while its read is still on the stack keeps its
	// socket until then, but nothing more goes out on it.
	if (client.dropped || !socket ||
	    socket->state() != QAbstractSocket::ConnectedState)
		return;
	socket->write(frameHeader(opcode, uint64_t(payload.size())));
	socket->write(payload);
	// Starts the clock of a peer that stops taking what it is sent, even
	// one that sends nothing more.
	outputFull(client);
}

void LinkServer::sendJson(LinkClient &client, const QJsonObject &object)
{
	sendFrame(client, OpText,
		  QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void LinkServer::handleMessage(LinkClient &client, const QJsonObject &message)
{
	const QString op = textMember(message, "op");

	if (client.authenticated) {
		if (op == QLatin1String("req"))
			handleRequest(client, message);
		// Anything else from a linked client, a second "auth"
		// included, is ignored.
		return;
	}

	const QByteArray token = textMember(message, "token").toUtf8();
	if (op == QLatin1String("auth") &&
	    tokensEqual(token, linkConfig().token)) {
		client.authenticated = true;
		client.app = textMember(message, "app");
		QString error;
		QJsonObject ready;
		dispatchCommand(QStringLiteral("status"), QJsonObject(), error,
				ready);
		ready.insert(QStringLiteral("op"), QStringLiteral("ready"));
		sendJson(client, ready);
		linkLog(LOG_INFO, "Tessil %s linked",
			textMember(message, "version").toUtf8().constData());
		return;
	}

	sendJson(client, QJsonObject{{"op", "denied"}});
	linkLog(LOG_WARNING, "refused a client with a wrong token");
	// The "denied" frame is queued, so the socket stays open until it has
	// gone out. Nothing more of this connection is handled.
	closeClient(client);
}

void LinkServer::broadcastEvent(const QString &name, QJsonObject data)
{
	data.insert(QStringLiteral("op"), QStringLiteral("event"));
	data.insert(QStringLiteral("event"), name);
	// One serialisation for every client.
	const QByteArray payload =
		QJsonDocument(data).toJson(QJsonDocument::Compact);
	std::vector<QPointer<QTcpSocket>> written;
	for (size_t i = 0; i < clients.size(); i++) {
		if (!clients[i]->authenticated)
			continue;
		sendFrame(*clients[i], OpText, payload);
		written.emplace_back(clients[i]->socket);
	}
	// Out now, not after the rest of the host's handling of whatever
	// raised the event. A failing write can drop a connection inside
	// flush, so the list of clients is not walked meanwhile.
	for (const QPointer<QTcpSocket> &socket : written)
		if (socket)
			socket->flush();
}

void LinkServer::queueEvent(const QString &name)
{
	pendingEvents.insert(name);
	eventTimer.start(eventDelayMs);
}

void LinkServer::flushQueuedEvents()
{
	QSet<QString> names;
	names.swap(pendingEvents);
	for (const QString &name : names)
		broadcastEvent(name, QJsonObject());
}
