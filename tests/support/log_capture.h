#pragma once

#include <string>
#include <vector>

// Collects libobs log lines (from any thread) while a test runs.
struct LogLine {
	int level;
	std::string text;
};

void startLogCapture();
void stopLogCapture();
std::vector<LogLine> capturedLog();
void clearCapturedLog();
// Number of captured lines equal to `text` at `level`.
int countLogLines(int level, const std::string &text);
// True when a line containing `part` was logged.
bool logContains(const std::string &part);
