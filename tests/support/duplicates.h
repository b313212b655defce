#pragma once

// Sources, scenes and groups with exactly the name asked for, even when a
// public source has it already. A scene can hold sources of one name on every
// host: private sources of other plug-ins, collections saved by older OBS.
// A repeated name is made public where the host lets public names repeat
// (libobs 29) and private otherwise (see libobs_host.h). A name that comes
// out changed all the same fails the test.

#include <obs.h>

namespace duplicates {

// A new source of `kind` (a new reference), as obs_source_create.
obs_source_t *createSource(const char *kind, const char *name);

// A new scene (a new reference), as obs_scene_create.
obs_scene_t *createScene(const char *name);

// An empty group on top of `scene`, as obs_scene_add_group2: the item is the
// scene's. Where item positions are relative to the canvas, a private group
// needs video first (ObsTest::startVideoForSceneItems).
obs_sceneitem_t *addGroup(obs_scene_t *scene, const char *name);

} // namespace duplicates
