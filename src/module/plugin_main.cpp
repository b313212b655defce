// The module file: the entry points OBS looks up, and nothing else.
#include <obs-module.h>

#include "module/lifecycle.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("tessil-link", "en-US")

bool obs_module_load(void)
{
	return loadTessilLink();
}

void obs_module_unload(void)
{
	unloadTessilLink();
}
