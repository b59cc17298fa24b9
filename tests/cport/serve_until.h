// Serves the main-thread queue until a condition holds or a generous limit
// passes; the tests' stand-in for a GUI's event loop.
#pragma once

#include <chrono>
#include <functional>

#include "CPort/runtime/MainThread.h"

inline bool ServeUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    CPort::Runtime::WaitAndServeMainThreadQueue(std::chrono::milliseconds(20));
  }
  return true;
}
