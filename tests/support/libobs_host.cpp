#include "libobs_host.h"

#include <obs.h>

#include <cmath>

namespace libobsHost {

bool publicNamesRepeat()
{
	return LIBOBS_API_VER < MAKE_SEMANTIC_VERSION(30, 0, 0);
}

bool itemPositionsRelative()
{
	return LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(31, 0, 0);
}

float keptPosition(float value)
{
	return itemPositionsRelative() ? std::round(value * 2.0f) / 2.0f
				       : value;
}

} // namespace libobsHost
