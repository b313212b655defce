#include "obs/item_visibility.h"

#include <obs-frontend-api.h>

#include "obs/scene_lookup.h"

namespace {
// The items of one scene showing `name`, then those of its program copy.
QString collectInScene(const QString &sceneName, const std::string &name,
		       SceneItemList &items)
{
	OBSSourceAutoRelease scene =
		sceneName.isEmpty()
			? OBSSourceAutoRelease(obs_frontend_get_current_scene())
			: findSceneByName(sceneName);
	if (!scene)
		return sceneName.isEmpty()
			       ? QStringLiteral("no current scene")
			       : QStringLiteral("no scene named ") + sceneName;

	items = findItemsByName(obs_scene_from_source(scene), name);
	OBSSourceAutoRelease duplicate = programDuplicate(scene);
	if (duplicate) {
		const SceneItemList copies =
			findItemsByName(obs_scene_from_source(duplicate), name);
		items.insert(items.end(), copies.begin(), copies.end());
	}
	if (items.empty())
		return QStringLiteral("no source named ") +
		       QString::fromStdString(name) +
		       QStringLiteral(" in scene ") +
		       QString::fromStdString(sourceName(scene));
	return QString();
}
}

QString setItemVisible(const QString &scene, const QString &name, int mode,
		       bool allScenes, QJsonObject &data)
{
	data.insert(QStringLiteral("found"), false);
	const std::string sourceNameUtf8 = name.toStdString();
	if (sourceNameUtf8.empty())
		return QStringLiteral("no source name given");

	SceneItemList items;
	if (allScenes) {
		items = findItemsInAllScenes(sourceNameUtf8);
		if (items.empty())
			return QStringLiteral("no source named ") + name +
			       QStringLiteral(" in any scene");
	} else {
		const QString error =
			collectInScene(scene, sourceNameUtf8, items);
		if (!error.isEmpty())
			return error;
	}

	const bool visible = mode < 0 ? !obs_sceneitem_visible(items.front())
				      : mode == VisibilityShow;
	for (const SceneItemRef &item : items) {
		obs_sceneitem_set_visible(item, visible);
		if (allScenes)
			obs_source_set_muted(obs_sceneitem_get_source(item),
					     !visible);
	}
	data.insert(QStringLiteral("found"), true);
	data.insert(QStringLiteral("visible"), visible);
	return QString();
}
