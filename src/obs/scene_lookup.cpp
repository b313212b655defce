#include "obs/scene_lookup.h"

#include <obs-frontend-api.h>

#include "obs/frontend_scenes.h"

namespace {
bool appendItem(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	static_cast<SceneItemList *>(param)->emplace_back(item);
	return true;
}

void append(SceneItemList &to, const SceneItemList &from)
{
	to.insert(to.end(), from.begin(), from.end());
}
}

CanvasSize canvasSize()
{
	obs_video_info info = {};
	if (!obs_get_video_info(&info))
		return {1920, 1080};
	return {info.base_width, info.base_height};
}

std::string sourceName(obs_source_t *source)
{
	const char *name = source ? obs_source_get_name(source) : nullptr;
	return name ? name : "";
}

std::string itemSourceName(obs_sceneitem_t *item)
{
	return sourceName(obs_sceneitem_get_source(item));
}

bool isDualPovWindow(obs_sceneitem_t *item)
{
	OBSDataAutoRelease settings = obs_sceneitem_get_private_settings(item);
	return settings && obs_data_get_bool(settings, DUAL_POV_MARKER);
}

SceneItemList sceneItems(obs_scene_t *scene)
{
	SceneItemList items;
	if (scene)
		obs_scene_enum_items(scene, appendItem, &items);
	return items;
}

SceneItemList groupItems(obs_sceneitem_t *group)
{
	SceneItemList items;
	if (group)
		obs_sceneitem_group_enum_items(group, appendItem, &items);
	return items;
}

OBSSourceAutoRelease findSceneByName(const QString &name)
{
	const std::string wanted = name.toStdString();
	FrontendScenes scenes;
	for (size_t i = 0; i < scenes.size(); i++)
		if (sourceName(scenes[i]) == wanted)
			return obs_source_get_ref(scenes[i]);
	return nullptr;
}

OBSSourceAutoRelease programDuplicate(obs_source_t *scene)
{
	if (!scene || !obs_frontend_preview_program_mode_active())
		return nullptr;
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	if (current.Get() != scene)
		return nullptr;
	OBSSourceAutoRelease channel = obs_get_output_source(0);
	if (!channel ||
	    obs_source_get_type(channel) != OBS_SOURCE_TYPE_TRANSITION)
		return nullptr;
	OBSSourceAutoRelease active = obs_transition_get_active_source(channel);
	if (!active || active.Get() == scene || !obs_scene_from_source(active))
		return nullptr;
	if (sourceName(active) != sourceName(scene))
		return nullptr;
	markWindowCopies(obs_scene_from_source(scene),
			 obs_scene_from_source(active));
	return active;
}

void markWindowCopies(obs_scene_t *original, obs_scene_t *duplicate)
{
	const SceneItemList from = sceneItems(original);
	const SceneItemList to = sceneItems(duplicate);
	if (from.size() != to.size())
		return;
	for (size_t i = 0; i < from.size(); i++)
		if (itemSourceName(from[i]) != itemSourceName(to[i]))
			return;
	for (size_t i = 0; i < from.size(); i++) {
		if (!isDualPovWindow(from[i]) || isDualPovWindow(to[i]))
			continue;
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(to[i]);
		obs_data_set_bool(settings, DUAL_POV_MARKER, true);
	}
}

SceneItemList findItemsByName(obs_scene_t *scene, const std::string &name)
{
	const SceneItemList top = sceneItems(scene);
	SceneItemList found;

	for (const SceneItemRef &item : top)
		if (itemSourceName(item) == name && !isDualPovWindow(item))
			found.push_back(item);
	if (!found.empty())
		return found;

	// "group/child", trying each "/" from the left.
	for (size_t slash = name.find('/'); slash != std::string::npos;
	     slash = name.find('/', slash + 1)) {
		const std::string groupName = name.substr(0, slash);
		const std::string childName = name.substr(slash + 1);
		for (const SceneItemRef &item : top) {
			if (!obs_sceneitem_is_group(item) ||
			    itemSourceName(item) != groupName)
				continue;
			for (const SceneItemRef &child : groupItems(item))
				if (itemSourceName(child) == childName)
					found.push_back(child);
		}
		if (!found.empty())
			return found;
	}

	for (const SceneItemRef &item : top)
		if (obs_sceneitem_is_group(item))
			for (const SceneItemRef &child : groupItems(item))
				if (itemSourceName(child) == name)
					found.push_back(child);
	return found;
}

SceneItemList findItemsInAllScenes(const std::string &name)
{
	SceneItemList found;
	{
		FrontendScenes scenes;
		for (size_t i = 0; i < scenes.size(); i++)
			append(found,
			       findItemsByName(obs_scene_from_source(scenes[i]),
					       name));
	}
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	OBSSourceAutoRelease duplicate = programDuplicate(current);
	if (duplicate)
		append(found,
		       findItemsByName(obs_scene_from_source(duplicate), name));
	return found;
}
