#include "test_kinds.h"

#include <obs-module.h>

namespace {
void *createNothing(obs_data_t *, obs_source_t *source)
{
	return source;
}

void destroyNothing(void *) {}

void renderNothing(void *, gs_effect_t *) {}

uint32_t feedWidth(void *)
{
	return testFeedWidth;
}

uint32_t feedHeight(void *)
{
	return testFeedHeight;
}

const char *feedName(void *)
{
	return "Test feed";
}

// The browser stand-in is as large as its "width" and "height" settings.
uint32_t settingsDimension(void *data, const char *key)
{
	obs_data_t *settings =
		obs_source_get_settings(static_cast<obs_source_t *>(data));
	const auto value = uint32_t(obs_data_get_int(settings, key));
	obs_data_release(settings);
	return value;
}

uint32_t browserWidth(void *data)
{
	return settingsDimension(data, "width");
}

uint32_t browserHeight(void *data)
{
	return settingsDimension(data, "height");
}

const char *browserName(void *)
{
	return "Browser (test)";
}

const char *filterName(void *)
{
	return "Color correction (test)";
}

const char *transitionName(void *)
{
	return "Transition (test)";
}

bool mixNothing(void *, uint64_t *, obs_source_audio_mix *, uint32_t, size_t,
		size_t)
{
	return false;
}

void renderFilter(void *data, gs_effect_t *)
{
	obs_source_skip_video_filter(static_cast<obs_source_t *>(data));
}
}

void registerTestKinds(bool withColorFilter)
{
	obs_source_info feed = {};
	feed.id = TEST_FEED_KIND;
	feed.type = OBS_SOURCE_TYPE_INPUT;
	feed.output_flags = OBS_SOURCE_VIDEO;
	feed.get_name = feedName;
	feed.create = createNothing;
	feed.destroy = destroyNothing;
	feed.get_width = feedWidth;
	feed.get_height = feedHeight;
	feed.video_render = renderNothing;
	obs_register_source(&feed);

	obs_source_info browser = {};
	browser.id = TEST_BROWSER_KIND;
	browser.type = OBS_SOURCE_TYPE_INPUT;
	browser.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO;
	browser.get_name = browserName;
	browser.create = createNothing;
	browser.destroy = destroyNothing;
	browser.get_width = browserWidth;
	browser.get_height = browserHeight;
	browser.video_render = renderNothing;
	obs_register_source(&browser);

	// libobs wants audio_render on every transition.
	obs_source_info transition = {};
	transition.id = TEST_TRANSITION_KIND;
	transition.type = OBS_SOURCE_TYPE_TRANSITION;
	transition.output_flags = OBS_SOURCE_VIDEO;
	transition.get_name = transitionName;
	transition.create = createNothing;
	transition.destroy = destroyNothing;
	transition.video_render = renderNothing;
	transition.audio_render = mixNothing;
	obs_register_source(&transition);

	if (withColorFilter) {
		obs_source_info filter = {};
		filter.id = TEST_COLOR_FILTER_KIND;
		filter.type = OBS_SOURCE_TYPE_FILTER;
		filter.output_flags = OBS_SOURCE_VIDEO;
		filter.get_name = filterName;
		filter.create = createNothing;
		filter.destroy = destroyNothing;
		filter.video_render = renderFilter;
		obs_register_source(&filter);
	}
}
