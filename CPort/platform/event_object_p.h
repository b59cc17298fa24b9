// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Event objects behind CreateEventA handles, and the wait on several of them.
//
// All events share one lock: a wait on several events must test and consume
// them as one step (an auto-reset event is taken by exactly one waiter), and
// one lock makes that trivially atomic. Each waiter sleeps on its own
// condition variable so that setting an event wakes only the threads that
// wait on it.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "win_comm.h"

namespace CPort::Platform {

struct EventWaiter;

class EventObject {
 public:
  EventObject(bool manualReset, bool initialState);
  EventObject(const EventObject&) = delete;
  EventObject& operator=(const EventObject&) = delete;

  void Set();
  void Reset();

 private:
  friend DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds);
  const bool manualReset_;
  bool signalled_;                     // guarded by the shared event lock
  std::vector<std::shared_ptr<EventWaiter>> waiters_;  // guarded by the shared event lock
};

// Waits until one of the events (waitAll: all of them at once) is signalled
// or `milliseconds` have passed (INFINITE: no limit). Consumes the auto-reset
// events it returns for. Returns WAIT_OBJECT_0 + index (the lowest signalled
// index for wait-any, WAIT_OBJECT_0 for wait-all) or WAIT_TIMEOUT.
DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds);

}  // namespace CPort::Platform
