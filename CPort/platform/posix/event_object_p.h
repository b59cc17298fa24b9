// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Event objects behind CreateEventA handles, and the waits on them.
//
// Each event has its own lock; a wait on several events takes their locks in
// address order, so testing and consuming them stays one atomic step (an
// auto-reset event is taken by exactly one waiter) without any lock shared by
// unrelated events.
//
// A waiting thread sleeps in ppoll on an eventfd of its own (Waiter). When an
// event it waits for belongs to a pending operation of a device (a ReadFile,
// WriteFile or WaitCommEvent started with it), the device's engine is bound
// to the event, and the waiter polls that engine's descriptor as well: when
// the device is ready, the waiter runs the engine's step itself, and the
// operation that completes there sets the event in the thread that waits for
// it. One device event thus costs the waiting thread one wake-up.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "win_comm.h"

namespace CPort::Platform {

// Something that completes operations when its descriptor is ready: a device
// engine. Whoever waits for one of its operations drives it.
class EventDriver {
 public:
  virtual ~EventDriver() = default;
  // A descriptor that polls readable while the driver has work to do.
  virtual int WaitDescriptor() const = 0;
  // Does the work that has become possible; never blocks on the device.
  virtual void Drive() = 0;
  // A thread starts (+1) or stops (-1) waiting on the driver's descriptor.
  virtual void Lead(int change) = 0;
};

// A thread's means of being woken: an eventfd it polls while it waits. One
// per thread, made on first use and kept for the next wait; closed when the
// thread ends, or when the thread closes the process's last handle, so that
// a program's main thread keeps nothing once its last port is gone.
class Waiter {
 public:
  // nullptr (with errno set) when no descriptor can be had.
  static std::shared_ptr<Waiter> ForThisThread();
  // Lets go of this thread's waiter; a wait under way elsewhere that still
  // holds it keeps it until that wait ends. The next wait makes a new one.
  static void ReleaseForThisThread();
  ~Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  int Descriptor() const { return fd_; }
  // Makes the waiter's next (or current) poll return. Free when called by
  // the waiting thread itself.
  void Wake();
  // Takes the wake-ups that have come.
  void Drain();

 private:
  explicit Waiter(int fd) : fd_(fd), owner_(std::this_thread::get_id()) {}
  const int fd_;
  const std::thread::id owner_;
};

class EventObject {
 public:
  EventObject(bool manualReset, bool initialState);
  EventObject(const EventObject&) = delete;
  EventObject& operator=(const EventObject&) = delete;

  void Set();
  void Reset();
  // Reset, and from now on the driver completes this event: waiters drive it.
  void ResetAndBind(const std::shared_ptr<EventDriver>& driver);
  // The driver's operation with this event has ended (called before Set).
  void Unbind(const EventDriver* driver);

 private:
  friend DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds);
  const bool manualReset_;
  std::mutex mutex_;
  bool signalled_;                                // guarded by mutex_
  std::vector<std::shared_ptr<Waiter>> waiters_;  // guarded by mutex_
  std::weak_ptr<EventDriver> driver_;             // guarded by mutex_
};

// Waits until one of the events (waitAll: all of them at once) is signalled
// or `milliseconds` have passed (INFINITE: no limit). Consumes the auto-reset
// events it returns for. Returns WAIT_OBJECT_0 + index (the lowest signalled
// index for wait-any, WAIT_OBJECT_0 for wait-all), WAIT_TIMEOUT, or
// WAIT_FAILED with the last error set.
DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds);

// Sleeps in ppoll on the waiter's descriptor and the drivers' descriptors
// until one is ready or the deadline (nullptr: none) passes; drives the
// drivers that are ready and drains the waiter. Returns false when ppoll
// itself failed (errno set).
bool PollAndDrive(Waiter& waiter, std::span<EventDriver* const> drivers,
                  const std::chrono::steady_clock::time_point* deadline);

}  // namespace CPort::Platform
