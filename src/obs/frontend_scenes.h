#pragma once

#include <obs-frontend-api.h>

// The front-end's scene list in its order, each scene released (and the
// list freed) when this goes away.
class FrontendScenes {
public:
	FrontendScenes() { obs_frontend_get_scenes(&list); }
	~FrontendScenes() { obs_frontend_source_list_free(&list); }
	FrontendScenes(const FrontendScenes &) = delete;
	FrontendScenes &operator=(const FrontendScenes &) = delete;

	size_t size() const { return list.sources.num; }
	obs_source_t *operator[](size_t i) const
	{
		return list.sources.array[i];
	}

private:
	obs_frontend_source_list list = {};
};
