#pragma once

#include <util/base.h>

// Module name as it appears in the host's log and configuration paths.
#define TESSIL_MODULE_NAME "tessil-link"
#define TESSIL_MODULE_VERSION TESSIL_VERSION

// One line in OBS's log, prefixed with "[tessil-link] ". The module logs at
// LOG_WARNING (200) and LOG_INFO (300) only.
void linkLog(int level, const char *format, ...)
	__attribute__((format(printf, 2, 3)));
