#pragma once

#include <QJsonObject>
#include <QJsonValue>

// Argument and id reading rules shared by the request handling and the
// command table.

// A JSON number that is a whole number within 32 bits; otherwise 0.
int integerArg(const QJsonValue &value);
// JSON true only.
bool booleanArg(const QJsonValue &value);
// A finite JSON number, otherwise the default.
double numberArg(const QJsonValue &value, double defaultValue);

// The reply to one request: "op", "id", "ok", and "error"/"data" as set.
QJsonObject replyFor(int id, const QString &error, const QJsonObject &data);
