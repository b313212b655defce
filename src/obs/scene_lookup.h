#pragma once

#include <obs.hpp>

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// One reference to a scene item: taken on construction and copy, released
// on destruction.
using SceneItemRef = OBSSceneItem;
using SceneItemList = std::vector<SceneItemRef>;

// Private-settings key marking a dual POV window item the module added.
#define DUAL_POV_MARKER "tessil-link-dual-pov"

struct CanvasSize {
	uint32_t width;
	uint32_t height;
};

// The base canvas; 1920 by 1080 while OBS has no video.
CanvasSize canvasSize();

std::string sourceName(obs_source_t *source);
std::string itemSourceName(obs_sceneitem_t *item);
bool isDualPovWindow(obs_sceneitem_t *item);

// Top-level items of a scene (groups included), bottom to top.
SceneItemList sceneItems(obs_scene_t *scene);
// Children of a group item.
SceneItemList groupItems(obs_sceneitem_t *group);

// A new reference to the first front-end scene named `name`, or null.
OBSSourceAutoRelease findSceneByName(const QString &name);

// In studio mode, the program output's copy of `scene` when it is the
// current scene: a new reference, or null. The copies of window items in
// it are marked as windows (markWindowCopies).
OBSSourceAutoRelease programDuplicate(obs_source_t *scene);

// Marks the copies of `original`'s window items in `duplicate`, a copy
// made by obs_scene_duplicate, which in libobs 29 leaves the items'
// private settings (and so the marker) behind. The copy keeps the items in
// order, each of the same source: only while both still match item for
// item is anything marked; a copy that no longer matches was marked when
// it was new, or holds no window copy of its own.
void markWindowCopies(obs_scene_t *original, obs_scene_t *duplicate);

// Items showing the source `name`: top level first, then "group/child"
// paths, then children of any group; the first stage that finds anything
// decides.
SceneItemList findItemsByName(obs_scene_t *scene, const std::string &name);

// findItemsByName over every scene, and the program copy of the current one.
SceneItemList findItemsInAllScenes(const std::string &name);
