#pragma once

#include <QJsonObject>
#include <QString>

// "scenes.list": every scene with the names of its items, top-most first.
QJsonObject listScenes();

// "scene.set" / "scene.current": switches to the scene named `name`. Fills
// "previous" in every case; an error text on failure.
QString setScene(const QString &name, QJsonObject &data);
