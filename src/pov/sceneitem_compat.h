#pragma once

// Scene item transforms across libobs versions. From 30.1 on the transform
// record carries "crop to bounds" and is read and written through the
// get_info2/set_info2 pair; older versions have only get_info/set_info and
// no such field. Every other field is the same in both.

#include <obs.h>

#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 1, 0)

inline void getItemTransform(const obs_sceneitem_t *item,
			     obs_transform_info *info)
{
	obs_sceneitem_get_info2(item, info);
}

// Writes every field; "crop to bounds" is always off.
inline void setItemTransform(obs_sceneitem_t *item, obs_transform_info *info)
{
	info->crop_to_bounds = false;
	obs_sceneitem_set_info2(item, info);
}

#else

inline void getItemTransform(const obs_sceneitem_t *item,
			     obs_transform_info *info)
{
	obs_sceneitem_get_info(item, info);
}

// Writes every field (this libobs has no "crop to bounds").
inline void setItemTransform(obs_sceneitem_t *item, obs_transform_info *info)
{
	obs_sceneitem_set_info(item, info);
}

#endif
