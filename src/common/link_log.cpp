#include "common/link_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void linkLog(int level, const char *format, ...)
{
	static const char prefix[] = "[" TESSIL_MODULE_NAME "] ";
	const size_t size = sizeof(prefix) + strlen(format);

	// Formats are short constants; the stack buffer covers them and the
	// heap takes anything longer. Without memory the bare format is logged.
	char local[256];
	char *buffer = size <= sizeof(local)
			       ? local
			       : static_cast<char *>(malloc(size));
	va_list args;
	va_start(args, format);
	if (buffer) {
		snprintf(buffer, size, "[%s] %s", TESSIL_MODULE_NAME, format);
		blogva(level, buffer, args);
		if (buffer != local)
			free(buffer);
	} else {
		blogva(level, format, args);
	}
	va_end(args);
}
