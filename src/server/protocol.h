#pragma once

#include <QJsonObject>

// The first message on every upgraded connection.
QJsonObject helloMessage();
