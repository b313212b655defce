#include "server/request.h"

#include "server/command_table.h"
#include "server/link_server.h"

#include <QTcpSocket>

#include <cmath>
#include <limits>

int integerArg(const QJsonValue &value)
{
	if (!value.isDouble())
		return 0;
	const double number = value.toDouble();
	if (!std::isfinite(number) || std::trunc(number) != number ||
	    number < double(std::numeric_limits<int32_t>::min()) ||
	    number > double(std::numeric_limits<int32_t>::max()))
		return 0;
	return int(number);
}

bool booleanArg(const QJsonValue &value)
{
	return value.isBool() && value.toBool();
}

double numberArg(const QJsonValue &value, double defaultValue)
{
	if (!value.isDouble())
		return defaultValue;
	const double number = value.toDouble();
	return std::isfinite(number) ? number : defaultValue;
}

QJsonObject replyFor(int id, const QString &error, const QJsonObject &data)
{
	QJsonObject reply{{"op", "res"}, {"id", id}, {"ok", error.isEmpty()}};
	if (!error.isEmpty())
		reply.insert(QStringLiteral("error"), error);
	if (!data.isEmpty())
		reply.insert(QStringLiteral("data"), data);
	return reply;
}

void LinkServer::handleRequest(LinkClient &client, const QJsonObject &message)
{
	const int id = integerArg(message.value(QStringLiteral("id")));
	const QString cmd = message.value(QStringLiteral("cmd")).toString();
	const QJsonObject args =
		message.value(QStringLiteral("args")).toObject();

	QString error;
	QJsonObject data;
	bool replied = false;
	const EarlyReply replyNow = [&](const QJsonObject &early) {
		if (replied)
			return;
		replied = true;
		sendJson(client, replyFor(id, QString(), early));
		// Out now: the handler is inside a host call that goes on
		// working. A failing write may drop the connection here; the
		// record stays until the read that is handling it unwinds.
		if (client.handling() && client.socket)
			client.socket->flush();
	};
	dispatchCommand(cmd, args, error, data, replyNow);
	if (!replied)
		sendJson(client, replyFor(id, error, data));
}
