#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

// "scenes.list": every scene with the names of its items, top-most first.
QJsonObject listScenes();

// "scene.set" / "scene.current": switches to the scene named `name`. Fills
// "previous" in every case; an error text on failure. `switchMade` runs once,
// inside OBS's switch, at the moment OBS starts the transition to the scene
// (before OBS rebuilds its docks for it); not at all if none starts.
QString setScene(const QString &name, QJsonObject &data,
		 const std::function<void()> &switchMade = {});
