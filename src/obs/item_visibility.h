#pragma once

#include <QJsonObject>
#include <QString>

// Mode of "item.visible": hide, show, or the opposite of the first match.
enum VisibilityMode {
	VisibilityToggle = -1,
	VisibilityHide = 0,
	VisibilityShow = 1
};

// Shows, hides or toggles the items that display the source `name`, in the
// scene `scene` (the current one when empty) or in every scene. Fills
// "found" (and "visible" on success); an error text on failure.
QString setItemVisible(const QString &scene, const QString &name, int mode,
		       bool allScenes, QJsonObject &data);
