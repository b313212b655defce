#include "log_capture.h"

#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex linesMutex;
std::vector<LogLine> lines;

void captureLine(int level, const char *format, va_list args, void *)
{
	char text[8192];
	vsnprintf(text, sizeof(text), format, args);
	std::lock_guard<std::mutex> lock(linesMutex);
	lines.push_back({level, text});
}
}

void startLogCapture()
{
	clearCapturedLog();
	base_set_log_handler(captureLine, nullptr);
}

void stopLogCapture()
{
	base_set_log_handler(nullptr, nullptr);
}

std::vector<LogLine> capturedLog()
{
	std::lock_guard<std::mutex> lock(linesMutex);
	return lines;
}

void clearCapturedLog()
{
	std::lock_guard<std::mutex> lock(linesMutex);
	lines.clear();
}

int countLogLines(int level, const std::string &text)
{
	int count = 0;
	for (const LogLine &line : capturedLog())
		if (line.level == level && line.text == text)
			count++;
	return count;
}

bool logContains(const std::string &part)
{
	for (const LogLine &line : capturedLog())
		if (line.text.find(part) != std::string::npos)
			return true;
	return false;
}
