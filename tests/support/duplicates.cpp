#include "duplicates.h"

#include <gtest/gtest.h>
#include <obs.hpp>

#include "libobs_host.h"

namespace {
// The id libobs registers its group kind under.
const char groupKind[] = "group";

// Whether a new public source named `name` would be renamed by libobs.
bool nameWouldChange(const char *name)
{
	if (!name || libobsHost::publicNamesRepeat())
		return false;
	OBSSourceAutoRelease holder = obs_get_source_by_name(name);
	return holder != nullptr;
}

void expectNamed(obs_source_t *source, const char *name)
{
	if (!source || !name)
		return;
	EXPECT_STREQ(obs_source_get_name(source), name)
		<< "libobs renamed a source made by the tests";
}
}

namespace duplicates {

obs_source_t *createSource(const char *kind, const char *name)
{
	obs_source_t *source =
		nameWouldChange(name)
			? obs_source_create_private(kind, name, nullptr)
			: obs_source_create(kind, name, nullptr, nullptr);
	expectNamed(source, name);
	return source;
}

obs_scene_t *createScene(const char *name)
{
	obs_scene_t *scene = nameWouldChange(name)
				     ? obs_scene_create_private(name)
				     : obs_scene_create(name);
	expectNamed(obs_scene_get_source(scene), name);
	return scene;
}

obs_sceneitem_t *addGroup(obs_scene_t *scene, const char *name)
{
	obs_sceneitem_t *item = nullptr;
	if (nameWouldChange(name)) {
		// Such a group belongs to no canvas: without video libobs has
		// no size to put its items in.
		obs_video_info video = {};
		if (libobsHost::itemPositionsRelative() &&
		    !obs_get_video_info(&video)) {
			ADD_FAILURE() << "a private group needs video here";
			return nullptr;
		}
		// A private source of the group kind: obs_scene_add makes it
		// a group item like any other.
		OBSSourceAutoRelease group =
			obs_source_create_private(groupKind, name, nullptr);
		item = obs_scene_add(scene, group);
		EXPECT_TRUE(obs_sceneitem_is_group(item))
			<< "a private group is not a group item";
	} else {
		item = obs_scene_add_group2(scene, name, false);
	}
	expectNamed(obs_sceneitem_get_source(item), name);
	return item;
}

} // namespace duplicates
