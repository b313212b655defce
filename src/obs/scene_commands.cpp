#include "obs/scene_commands.h"

#include <obs-frontend-api.h>

#include <QJsonArray>
#include <QSet>

#include "common/link_log.h"
#include "obs/frontend_scenes.h"
#include "obs/scene_lookup.h"

namespace {
// Names under which "item.visible" finds the scene's items: top-most first,
// each group followed by "group/child" for its children, each name once.
QJsonArray listedItemNames(obs_scene_t *scene)
{
	QJsonArray names;
	QSet<QString> listed;
	auto list = [&](const std::string &name) {
		const QString text = QString::fromStdString(name);
		if (!listed.contains(text)) {
			listed.insert(text);
			names.append(text);
		}
	};

	const SceneItemList items = sceneItems(scene);
	for (auto item = items.rbegin(); item != items.rend(); ++item) {
		if (isDualPovWindow(*item))
			continue;
		const std::string name = itemSourceName(*item);
		if (!name.empty())
			list(name);
		if (!obs_sceneitem_is_group(*item))
			continue;
		const SceneItemList children = groupItems(*item);
		for (auto child = children.rbegin(); child != children.rend();
		     ++child) {
			const std::string childName = itemSourceName(*child);
			if (!childName.empty())
				list(name + "/" + childName);
		}
	}
	return names;
}

bool transitionInProgress()
{
	OBSSourceAutoRelease channel = obs_get_output_source(0);
	if (!channel ||
	    obs_source_get_type(channel) != OBS_SOURCE_TYPE_TRANSITION)
		return false;
	const float time = obs_transition_get_time(channel);
	return time > 0.0f && time < 1.0f;
}
}

QJsonObject listScenes()
{
	QJsonArray scenes;
	{
		FrontendScenes list;
		for (size_t i = 0; i < list.size(); i++)
			scenes.append(QJsonObject{
				{"name",
				 QString::fromStdString(sourceName(list[i]))},
				{"items", listedItemNames(obs_scene_from_source(
						  list[i]))},
			});
	}
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	return QJsonObject{
		{"current", QString::fromStdString(sourceName(current))},
		{"scenes", scenes},
	};
}

QString setScene(const QString &name, QJsonObject &data)
{
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	const std::string previous = sourceName(current);
	data.insert(QStringLiteral("previous"),
		    QString::fromStdString(previous));

	OBSSourceAutoRelease target = findSceneByName(name);
	if (!target)
		return name.isEmpty()
			       ? QStringLiteral("no scene name given")
			       : QStringLiteral("no scene named ") + name;
	if (target.Get() == current.Get())
		return QString();
	if (obs_frontend_preview_program_mode_active() &&
	    transitionInProgress())
		return QStringLiteral(
			"OBS is in the middle of a transition; try again");

	obs_frontend_set_current_scene(target);
	linkLog(LOG_INFO, "scene: %s -> %s", previous.c_str(),
		sourceName(target).c_str());
	return QString();
}
