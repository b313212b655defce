#pragma once

#include <functional>

// Runs the Qt event loop until `condition` holds; false on time-out. Wakes
// on every event rather than polling in 10 ms steps.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

// Runs the event loop for `ms` milliseconds.
void pumpEvents(int ms);
