#pragma once

// libobs per test (ObsTest) with named feed sources, front-end scenes, a
// studio-mode program copy on demand, and the squad and dual POV state put
// back to its load-time values at the end.

#include <gtest/gtest.h>
#include <obs.hpp>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "duplicates.h"
#include "feed_sources.h"
#include "frontend_double.h"
#include "libobs_host.h"
#include "log_capture.h"
#include "obs/scene_lookup.h"
#include "obs_fixture.h"
#include "pov/dual_pov.h"
#include "pov/dual_window.h"
#include "pov/pov_flags.h"
#include "pov/sceneitem_compat.h"
#include "pov/squad_pov.h"
#include "test_kinds.h"
#include "wait.h"

inline std::string logged(const std::string &message)
{
	return "[tessil-link] " + message;
}

// The module's own captured lines (libobs logs its own as well).
inline std::vector<std::string> moduleLog()
{
	std::vector<std::string> lines;
	for (const LogLine &line : capturedLog())
		if (line.text.rfind("[tessil-link] ", 0) == 0)
			lines.push_back(line.text);
	return lines;
}

class PovTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		if (HasFatalFailure())
			return;
		ASSERT_TRUE(startVideoForSceneItems());
		startPov();
	}

	void TearDown() override
	{
		// ObsTest puts the squad and dual POV state back as well.
		obs_set_output_source(0, nullptr);
		if (transition)
			obs_transition_clear(transition);
		transition = nullptr;
		copies.clear();
		privateScenes.clear();
		sources.clear();
		ObsTest::TearDown();
	}

	// A 1920x1080 feed source named `name`, made on first use.
	obs_source_t *feed(const std::string &name)
	{
		return sources.get(name);
	}

	// A scene in the front-end's list (the first one is on program).
	obs_scene_t *frontScene(const char *name)
	{
		return obs_scene_from_source(frontend::addScene(name));
	}

	// A scene libobs knows but the front-end does not list.
	obs_scene_t *privateScene(const char *name)
	{
		privateScenes.emplace_back(obs_scene_create_private(name));
		return privateScenes.back();
	}

	obs_sceneitem_t *add(obs_scene_t *scene, const std::string &name,
			     bool visible = true)
	{
		obs_sceneitem_t *item = obs_scene_add(scene, feed(name));
		obs_sceneitem_set_visible(item, visible);
		return item;
	}

	// A group of one item per name; answers the group item. Its name may
	// repeat.
	obs_sceneitem_t *addGroup(obs_scene_t *scene, const char *name,
				  std::initializer_list<std::string> children,
				  bool visible = true)
	{
		obs_sceneitem_t *group = duplicates::addGroup(scene, name);
		for (const std::string &child : children)
			obs_sceneitem_group_add_item(group, add(scene, child));
		// Adding to a group moves the item: set the moved ones.
		for (const SceneItemRef &child : groupItems(group))
			obs_sceneitem_set_visible(child, visible);
		return group;
	}

	obs_sceneitem_t *groupChild(obs_sceneitem_t *group, size_t index)
	{
		const SceneItemList children = groupItems(group);
		return index < children.size() ? children[index].Get()
					       : nullptr;
	}

	// A marked window item of `name`, added by hand.
	obs_sceneitem_t *addWindow(obs_scene_t *scene, const std::string &name,
				   bool visible)
	{
		obs_sceneitem_t *item = add(scene, name, visible);
		OBSDataAutoRelease settings =
			obs_sceneitem_get_private_settings(item);
		obs_data_set_bool(settings, DUAL_POV_MARKER, true);
		return item;
	}

	obs_sceneitem_t *windowOf(obs_scene_t *scene, const std::string &name)
	{
		const SceneItemList windows = findDualWindows(scene, name);
		return windows.empty() ? nullptr : windows.front().Get();
	}

	static void setPovSources(std::vector<std::string> names)
	{
		linkConfig().povSources = std::move(names);
	}

	// Studio mode with a program copy of `scene` (made the current
	// scene) on output channel 0, as OBS shows it on program. Like OBS,
	// it duplicates the scene; the copies of window items are left
	// unmarked, as libobs 29 leaves them (30 and later copy the marker).
	obs_scene_t *studioCopy(obs_scene_t *scene)
	{
		obs_source_t *source = obs_scene_get_source(scene);
		frontend::setProgramScene(source);
		frontend::setStudioMode(true);
		copies.emplace_back(
			obs_scene_duplicate(scene, obs_source_get_name(source),
					    OBS_SCENE_DUP_PRIVATE_REFS));
		if (!transition)
			transition = obs_source_create_private(
				TEST_TRANSITION_KIND, "Fade", nullptr);
		for (const SceneItemRef &item : sceneItems(copies.back())) {
			OBSDataAutoRelease settings =
				obs_sceneitem_get_private_settings(item);
			obs_data_erase(settings, DUAL_POV_MARKER);
		}
		obs_transition_set(transition,
				   obs_scene_get_source(copies.back()));
		obs_set_output_source(0, transition);
		return copies.back();
	}

	static bool hasOpacityFilter(obs_source_t *source)
	{
		OBSSourceAutoRelease filter = obs_source_get_filter_by_name(
			source, DUAL_OPACITY_FILTER_NAME);
		return filter != nullptr;
	}

	// The filter's "opacity", or -1 without the filter.
	static double filterOpacity(obs_source_t *source)
	{
		OBSSourceAutoRelease filter = obs_source_get_filter_by_name(
			source, DUAL_OPACITY_FILTER_NAME);
		if (!filter)
			return -1.0;
		OBSDataAutoRelease settings = obs_source_get_settings(filter);
		return obs_data_get_double(settings, "opacity");
	}

	static obs_transform_info transformOf(obs_sceneitem_t *item)
	{
		obs_transform_info info = {};
		getItemTransform(item, &info);
		return info;
	}

	static bool animationIdle()
	{
		return waitUntil(
			[] { return dualPovState().animDirection == 0; }, 3000);
	}

	static bool waitForLog(const std::string &message, int count = 1,
			       int timeoutMs = 3000)
	{
		return waitUntil(
			[&] {
				return countLogLines(LOG_INFO,
						     logged(message)) >= count;
			},
			timeoutMs);
	}

	FeedSources sources;

private:
	std::vector<OBSSceneAutoRelease> privateScenes;
	std::vector<OBSSceneAutoRelease> copies;
	OBSSourceAutoRelease transition;
};
