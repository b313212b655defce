#pragma once

// The dual POV window item: a marked extra scene item of a team-mate's own
// source, with its stacking, geometry, crop and opacity filter.

#include <obs.h>

#include <string>

#include "obs/scene_lookup.h"
#include "pov/dual_geometry.h"

// The colour filter that fades the window's source while its opacity is
// below full, and its kind.
#define DUAL_OPACITY_FILTER_NAME "Tessil Link · Dual POV opacity"
#define DUAL_OPACITY_FILTER_KIND "color_filter_v2"

// Sources whose names begin with this ("Tessil ·") are the companion's own:
// kept above a new window and left out of the POV candidates.
#define RESERVED_NAME_PREFIX "Tessil \xC2\xB7"

// Top-level window items of `scene`; only those of the source `name` when
// it is not empty. Items inside groups are not windows.
SceneItemList findDualWindows(obs_scene_t *scene, const std::string &name);

// The window item of `source` in `scene`, added (hidden, marked and stacked)
// when there is none; null when it cannot be added. The scene owns the item.
obs_sceneitem_t *ensureDualWindow(obs_scene_t *scene, obs_source_t *source);

// Moves and sizes the window for `layout` at a scale of the pop animation
// (1 at rest), from the canvas and the item's crop of the source.
void placeDualWindow(obs_sceneitem_t *item, obs_source_t *source,
		     const DualLayout &layout, double scale);

// Copies into `crop` the crop of the first user item of the source `name`:
// in `scene` first, then in every front-end scene. False (and `crop`
// untouched) when there is none.
bool findSourceCrop(obs_scene_t *scene, const std::string &name,
		    obs_sceneitem_crop &crop);

// Fades the source with the opacity filter below 0.999, removes the filter
// at 0.999 and above.
void setDualOpacity(obs_source_t *source, double opacity);
// Takes the opacity filter off every source that has it.
void removeDualOpacityFilters();

// Hides every window of any source in `scene`.
void hideDualWindows(obs_scene_t *scene);
// ... in every front-end scene.
void hideDualWindowsInAllScenes();
// ... in every front-end scene and in the program copy of the current one.
void hideDualWindowsEverywhere();

// True when `name` begins with "Tessil ·".
bool hasReservedPrefix(const std::string &name);
