// The tests' main thread serving the dispatcher while it waits.
#pragma once

#include <chrono>
#include <functional>

namespace kt::serial::test {

// Serves the dispatcher on this (main) thread until done() or the time is up.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
void pumpFor(std::chrono::milliseconds duration);

}  // namespace kt::serial::test
