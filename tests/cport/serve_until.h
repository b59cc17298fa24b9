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

#include <condition_variable>
#include <mutex>

// Counts the requests handed to the main thread while it lives, so a test
// can wait until an event thread is blocked in a hand-over instead of
// guessing with a sleep.
class HandOverWatch {
 public:
  HandOverWatch() {
    CPort::Runtime::SetMainThreadWakeUp([this] {
      std::lock_guard lock(mutex_);
      ++count_;
      changed_.notify_all();
    });
  }
  ~HandOverWatch() { CPort::Runtime::SetMainThreadWakeUp(nullptr); }
  HandOverWatch(const HandOverWatch&) = delete;
  HandOverWatch& operator=(const HandOverWatch&) = delete;

  int Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

  // Waits until `count` requests in all have been handed over.
  bool WaitFor(int count, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};
