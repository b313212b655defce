#include "pov_fixture.h"

namespace {
void *createNothing(obs_data_t *, obs_source_t *source)
{
	return source;
}

void destroyNothing(void *) {}

void renderNothing(void *, gs_effect_t *) {}

bool mixNothing(void *, uint64_t *, obs_source_audio_mix *, uint32_t, size_t,
		size_t)
{
	return false;
}

const char *transitionName(void *)
{
	return "Transition (test)";
}
}

// libobs registers no transition kind by itself.
void PovTest::registerTransitionKind()
{
	obs_source_info info = {};
	info.id = TEST_TRANSITION_KIND;
	info.type = OBS_SOURCE_TYPE_TRANSITION;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = transitionName;
	info.create = createNothing;
	info.destroy = destroyNothing;
	info.video_render = renderNothing;
	info.audio_render = mixNothing;
	obs_register_source(&info);
}
