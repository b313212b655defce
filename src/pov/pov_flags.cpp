#include "pov/pov_flags.h"

PovFlags &povFlags()
{
	static PovFlags flags;
	return flags;
}
