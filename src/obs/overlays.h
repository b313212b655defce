#pragma once

#include <QJsonArray>
#include <QJsonObject>

// "overlays.install": creates or updates one browser source per element of
// `sources` ({"name", "url", "audio"}) and adds the missing ones to the
// current scene, fitted to the canvas. Returns {"added", "updated"}.
QJsonObject installOverlays(const QJsonArray &sources);
