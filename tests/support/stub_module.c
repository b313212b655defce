/* A module file named like the plug-in, so that libobs gives tests a real
 * module handle (configuration path, locale files) without loading the
 * plug-in itself. It is opened, never initialised. */
#include <obs-module.h>

OBS_DECLARE_MODULE()

bool obs_module_load(void)
{
	return true;
}
