// Programs that run the plug-in's code without being a module (the
// benchmarks and the request fuzzer): the two module functions that code
// refers to. No module handle: nothing they run saves the configuration,
// and every text is its own lookup key.
#include <obs-module.h>

extern "C" obs_module_t *obs_current_module(void)
{
	return nullptr;
}

extern "C" const char *obs_module_text(const char *lookup)
{
	return lookup;
}
