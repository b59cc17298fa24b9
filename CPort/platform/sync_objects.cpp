// Event objects and the waits on them (see event_object_p.h).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "event_object_p.h"

namespace CPort::Platform {

struct EventWaiter {
  std::condition_variable wake;
  bool woken = false;
};

namespace {

std::mutex& EventLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

EventObject::EventObject(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

void EventObject::Set() {
  std::vector<std::shared_ptr<EventWaiter>> wake;
  {
    std::lock_guard lock(EventLock());
    signalled_ = true;
    for (const auto& waiter : waiters_) {
      waiter->woken = true;
      wake.push_back(waiter);
    }
  }
  for (const auto& waiter : wake) waiter->wake.notify_one();
}

void EventObject::Reset() {
  std::lock_guard lock(EventLock());
  signalled_ = false;
}

DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (milliseconds != INFINITE) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

  // Tests the events and, when the wait is satisfied, consumes them; must
  // run under the event lock.
  auto tryConsume = [&]() -> std::optional<DWORD> {
    if (waitAll) {
      if (!std::all_of(events.begin(), events.end(), [](EventObject* e) { return e->signalled_; })) {
        return std::nullopt;
      }
      for (EventObject* e : events) {
        if (!e->manualReset_) e->signalled_ = false;
      }
      return WAIT_OBJECT_0;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i]->signalled_) {
        if (!events[i]->manualReset_) events[i]->signalled_ = false;
        return static_cast<DWORD>(WAIT_OBJECT_0 + i);
      }
    }
    return std::nullopt;
  };

  auto shared = std::make_shared<EventWaiter>();
  EventWaiter& waiter = *shared;
  std::unique_lock lock(EventLock());
  if (auto result = tryConsume()) return *result;
  if (milliseconds == 0) return WAIT_TIMEOUT;

  for (EventObject* e : events) e->waiters_.push_back(shared);
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    if (auto done = tryConsume()) {
      result = *done;
      break;
    }
    waiter.woken = false;
    if (deadline) {
      if (!waiter.wake.wait_until(lock, *deadline, [&] { return waiter.woken; })) break;
    } else {
      waiter.wake.wait(lock, [&] { return waiter.woken; });
    }
  }
  for (EventObject* e : events) std::erase(e->waiters_, shared);
  return result;
}

}  // namespace CPort::Platform
