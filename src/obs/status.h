#pragma once

#include <QJsonObject>
#include <QString>

// What OBS is doing, as the linked application sees it.
QJsonObject statusData();

// Saves the replay buffer; an error text when it is not running.
QString saveReplay();
