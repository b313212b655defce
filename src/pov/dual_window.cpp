#include "pov/dual_window.h"

#include <obs-frontend-api.h>

#include <cstring>
#include <vector>

#include "common/link_log.h"
#include "obs/frontend_scenes.h"
#include "pov/sceneitem_compat.h"

namespace {
struct AddWindow {
	obs_source_t *source;
	obs_sceneitem_t *item;
};

// Runs inside the scene's atomic update: the item is added, hidden and
// marked as one change.
void addHiddenMarkedItem(void *param, obs_scene_t *scene)
{
	auto *add = static_cast<AddWindow *>(param);
	add->item = obs_scene_add(scene, add->source);
	if (!add->item)
		return;
	obs_sceneitem_set_visible(add->item, false);
	OBSDataAutoRelease settings =
		obs_sceneitem_get_private_settings(add->item);
	obs_data_set_bool(settings, DUAL_POV_MARKER, true);
}

bool groupHolds(obs_sceneitem_t *group, const std::string &name)
{
	for (const SceneItemRef &child : groupItems(group))
		if (itemSourceName(child) == name)
			return true;
	return false;
}

// Puts the new item directly above the user's item of the same source, or
// else directly below the lowest item of a reserved-prefix source.
void stackNewWindow(obs_scene_t *scene, obs_sceneitem_t *added,
		    const std::string &name)
{
	const SceneItemList items = sceneItems(scene);
	int newPos = -1;
	int samePos = -1;
	int reservedPos = -1;
	for (int pos = 0; pos < int(items.size()); pos++) {
		obs_sceneitem_t *item = items[pos];
		if (item == added) {
			newPos = pos;
			continue;
		}
		const std::string itemName = itemSourceName(item);
		if ((itemName == name && !isDualPovWindow(item)) ||
		    (obs_sceneitem_is_group(item) && groupHolds(item, name)))
			samePos = pos;
		if (reservedPos < 0 && hasReservedPrefix(itemName))
			reservedPos = pos;
	}
	if (newPos < 0)
		return;
	if (samePos >= 0)
		obs_sceneitem_set_order_position(
			added, newPos > samePos ? samePos + 1 : samePos);
	else if (reservedPos >= 0)
		obs_sceneitem_set_order_position(
			added,
			newPos > reservedPos ? reservedPos : reservedPos - 1);
}

void copyCrop(obs_sceneitem_t *item, obs_sceneitem_crop &crop)
{
	obs_sceneitem_get_crop(item, &crop);
}

bool findCropIn(obs_scene_t *scene, const std::string &name,
		obs_sceneitem_crop &crop)
{
	for (const SceneItemRef &item : sceneItems(scene)) {
		if (obs_sceneitem_is_group(item)) {
			for (const SceneItemRef &child : groupItems(item)) {
				if (itemSourceName(child) == name) {
					copyCrop(child, crop);
					return true;
				}
			}
		} else if (itemSourceName(item) == name &&
			   !isDualPovWindow(item)) {
			copyCrop(item, crop);
			return true;
		}
	}
	return false;
}

bool collectFiltered(void *param, obs_source_t *source)
{
	OBSSourceAutoRelease filter =
		obs_source_get_filter_by_name(source, DUAL_OPACITY_FILTER_NAME);
	if (filter) {
		OBSSourceAutoRelease ref = obs_source_get_ref(source);
		if (ref)
			static_cast<std::vector<OBSSourceAutoRelease> *>(param)
				->push_back(std::move(ref));
	}
	return true;
}
}

SceneItemList findDualWindows(obs_scene_t *scene, const std::string &name)
{
	SceneItemList windows;
	for (const SceneItemRef &item : sceneItems(scene))
		if (isDualPovWindow(item) &&
		    (name.empty() || itemSourceName(item) == name))
			windows.push_back(item);
	return windows;
}

obs_sceneitem_t *ensureDualWindow(obs_scene_t *scene, obs_source_t *source)
{
	const std::string name = sourceName(source);
	{
		const SceneItemList existing = findDualWindows(scene, name);
		if (!existing.empty())
			return existing.front();
	}

	AddWindow add = {source, nullptr};
	obs_scene_atomic_update(scene, addHiddenMarkedItem, &add);
	if (!add.item)
		return nullptr;

	stackNewWindow(scene, add.item, name);
	linkLog(LOG_INFO, "dual POV: added the window for %s to scene %s",
		name.c_str(), sourceName(obs_scene_get_source(scene)).c_str());
	return add.item;
}

void placeDualWindow(obs_sceneitem_t *item, obs_source_t *source,
		     const DualLayout &layout, double scale)
{
	const CanvasSize canvas = canvasSize();
	obs_sceneitem_crop itemCrop = {};
	obs_sceneitem_get_crop(item, &itemCrop);
	WindowCrop crop;
	crop.left = itemCrop.left;
	crop.top = itemCrop.top;
	crop.right = itemCrop.right;
	crop.bottom = itemCrop.bottom;

	const WindowBox box = dualWindowBox(canvas.width, canvas.height, crop,
					    obs_source_get_width(source),
					    obs_source_get_height(source),
					    layout, scale);

	obs_transform_info info = {};
	info.pos.x = box.x;
	info.pos.y = box.y;
	info.rot = 0.0f;
	info.scale.x = 1.0f;
	info.scale.y = 1.0f;
	info.alignment = OBS_ALIGN_LEFT | OBS_ALIGN_TOP;
	info.bounds_type = OBS_BOUNDS_SCALE_INNER;
	info.bounds_alignment = OBS_ALIGN_CENTER;
	info.bounds.x = box.width;
	info.bounds.y = box.height;
	setItemTransform(item, &info);
}

bool findSourceCrop(obs_scene_t *scene, const std::string &name,
		    obs_sceneitem_crop &crop)
{
	if (findCropIn(scene, name, crop))
		return true;
	FrontendScenes scenes;
	for (size_t i = 0; i < scenes.size(); i++)
		if (findCropIn(obs_scene_from_source(scenes[i]), name, crop))
			return true;
	return false;
}

void setDualOpacity(obs_source_t *source, double opacity)
{
	OBSSourceAutoRelease filter =
		obs_source_get_filter_by_name(source, DUAL_OPACITY_FILTER_NAME);
	if (opacity < 0.999) {
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_double(settings, "opacity", opacity);
		if (filter) {
			obs_source_update(filter, settings);
		} else {
			OBSSourceAutoRelease created =
				obs_source_create_private(
					DUAL_OPACITY_FILTER_KIND,
					DUAL_OPACITY_FILTER_NAME, settings);
			if (created)
				obs_source_filter_add(source, created);
		}
	} else if (filter) {
		obs_source_filter_remove(source, filter);
	}
}

void removeDualOpacityFilters()
{
	std::vector<OBSSourceAutoRelease> filtered;
	obs_enum_sources(collectFiltered, &filtered);
	for (const OBSSourceAutoRelease &source : filtered)
		setDualOpacity(source, 1.0);
}

void hideDualWindows(obs_scene_t *scene)
{
	for (const SceneItemRef &item : findDualWindows(scene, std::string()))
		obs_sceneitem_set_visible(item, false);
}

void hideDualWindowsInAllScenes()
{
	FrontendScenes scenes;
	for (size_t i = 0; i < scenes.size(); i++)
		hideDualWindows(obs_scene_from_source(scenes[i]));
}

void hideDualWindowsEverywhere()
{
	hideDualWindowsInAllScenes();
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	OBSSourceAutoRelease duplicate = programDuplicate(current);
	if (duplicate)
		hideDualWindows(obs_scene_from_source(duplicate));
}

bool hasReservedPrefix(const std::string &name)
{
	static const char prefix[] = RESERVED_NAME_PREFIX;
	const size_t length = sizeof(prefix) - 1;
	return name.size() >= length &&
	       std::memcmp(name.data(), prefix, length) == 0;
}
