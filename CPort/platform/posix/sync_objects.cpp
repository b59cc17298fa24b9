// Event objects, waiters and the waits on them (see event_object_p.h).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "event_object_p.h"

namespace CPort::Platform {

namespace {

using Clock = std::chrono::steady_clock;

timespec Until(Clock::time_point deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

// ---- waiters -------------------------------------------------------------------

namespace {

thread_local std::shared_ptr<Waiter> threadWaiter;

}  // namespace

std::shared_ptr<Waiter> Waiter::ForThisThread() {
  std::shared_ptr<Waiter>& waiter = threadWaiter;
  if (!waiter) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    waiter.reset(new Waiter(fd));
  }
  return waiter;
}

void Waiter::ReleaseForThisThread() { threadWaiter.reset(); }

Waiter::~Waiter() { ::close(fd_); }

void Waiter::Wake() {
  // The waiting thread itself is setting the event (it drove a device and
  // completed its own operation): it tests its events before it sleeps.
  if (std::this_thread::get_id() == owner_) return;
  const std::uint64_t one = 1;
  // Fails only when the counter would overflow, and then it is set anyway.
  [[maybe_unused]] const ssize_t ignored = ::write(fd_, &one, sizeof one);
}

void Waiter::Drain() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd_, &count, sizeof count);
}

bool PollAndDrive(Waiter& waiter, std::span<EventDriver* const> drivers, const Clock::time_point* deadline) {
  std::array<pollfd, 1 + MAXIMUM_WAIT_OBJECTS> fds{};
  const std::size_t count = std::min<std::size_t>(drivers.size(), MAXIMUM_WAIT_OBJECTS);
  fds[0] = {waiter.Descriptor(), POLLIN, 0};
  for (std::size_t i = 0; i < count; ++i) fds[i + 1] = {drivers[i]->WaitDescriptor(), POLLIN, 0};
  timespec limit{};
  if (deadline != nullptr) limit = Until(*deadline);
  const int ready = ::ppoll(fds.data(), count + 1, deadline != nullptr ? &limit : nullptr, nullptr);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  if (fds[0].revents != 0) waiter.Drain();
  for (std::size_t i = 0; i < count; ++i) {
    if (fds[i + 1].revents != 0) drivers[i]->Drive();
  }
  return true;
}

// ---- events --------------------------------------------------------------------

EventObject::EventObject(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

void EventObject::Set() {
  // Woken after the lock is released, so the waiter does not wake only to
  // block on it; the shared pointers keep each waiter's descriptor open.
  std::array<std::shared_ptr<Waiter>, 4> few;
  std::vector<std::shared_ptr<Waiter>> many;
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    count = waiters_.size();
    if (count <= few.size()) {
      std::copy(waiters_.begin(), waiters_.end(), few.begin());
    } else {
      many = waiters_;
    }
  }
  if (count <= few.size()) {
    for (std::size_t i = 0; i < count; ++i) few[i]->Wake();
  } else {
    for (const auto& waiter : many) waiter->Wake();
  }
}

void EventObject::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void EventObject::ResetAndBind(const std::shared_ptr<EventDriver>& driver) {
  std::lock_guard lock(mutex_);
  signalled_ = false;
  driver_ = driver;
  // Threads already waiting must learn that they now lead this driver.
  for (const auto& waiter : waiters_) waiter->Wake();
}

void EventObject::Unbind(const EventDriver* driver) {
  std::lock_guard lock(mutex_);
  if (driver_.lock().get() == driver) driver_.reset();
}

// ---- waiting ---------------------------------------------------------------------

namespace {

// The events of one wait, locked together in address order.
class EventSet {
 public:
  explicit EventSet(std::span<EventObject* const> events) : count_(events.size()) {
    std::copy(events.begin(), events.end(), order_.begin());
    std::sort(order_.begin(), order_.begin() + count_);
    count_ = static_cast<std::size_t>(std::unique(order_.begin(), order_.begin() + count_) - order_.begin());
  }
  std::span<EventObject* const> Distinct() const { return {order_.data(), count_}; }

 private:
  std::array<EventObject*, MAXIMUM_WAIT_OBJECTS> order_{};
  std::size_t count_;
};

}  // namespace

// Declared as a friend of EventObject; the helpers below need its members.
DWORD WaitForEventObjects(std::span<EventObject* const> events, bool waitAll, DWORD milliseconds) {
  if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const EventSet set(events);
  const auto distinct = set.Distinct();
  auto lockAll = [&] {
    for (EventObject* e : distinct) e->mutex_.lock();
  };
  auto unlockAll = [&] {
    for (auto it = distinct.rbegin(); it != distinct.rend(); ++it) (*it)->mutex_.unlock();
  };
  // Tests the events and, when the wait is satisfied, consumes them; runs
  // with every event locked.
  auto tryConsume = [&]() -> std::optional<DWORD> {
    if (waitAll) {
      if (!std::all_of(distinct.begin(), distinct.end(), [](EventObject* e) { return e->signalled_; })) {
        return std::nullopt;
      }
      for (EventObject* e : distinct) {
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

  std::optional<Clock::time_point> deadline;
  if (milliseconds != INFINITE) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::shared_ptr<Waiter> waiter;
  bool registered = false;
  // Drivers this wait leads, kept alive (and counted as led) until it ends.
  std::array<std::shared_ptr<EventDriver>, MAXIMUM_WAIT_OBJECTS> led;
  std::array<EventDriver*, MAXIMUM_WAIT_OBJECTS> ledRaw{};
  std::size_t ledCount = 0;
  bool lastPass = false;
  DWORD result = WAIT_TIMEOUT;

  for (;;) {
    lockAll();
    if (const auto done = tryConsume()) {
      unlockAll();
      result = *done;
      break;
    }
    if (lastPass) {
      unlockAll();
      break;
    }
    const bool sleeps = !deadline || Clock::now() < *deadline;
    if (sleeps && !registered) {
      if (!waiter) waiter = Waiter::ForThisThread();
      if (!waiter) {
        const DWORD error = static_cast<DWORD>(errno);
        unlockAll();
        SetLastError(error);
        result = WAIT_FAILED;
        break;
      }
      for (EventObject* e : distinct) e->waiters_.push_back(waiter);
      registered = true;
    }
    std::array<std::shared_ptr<EventDriver>, MAXIMUM_WAIT_OBJECTS> found;
    std::size_t foundCount = 0;
    for (EventObject* e : distinct) {
      if (auto driver = e->driver_.lock()) found[foundCount++] = std::move(driver);
    }
    unlockAll();
    for (std::size_t i = 0; i < foundCount; ++i) {
      if (std::find(ledRaw.begin(), ledRaw.begin() + ledCount, found[i].get()) != ledRaw.begin() + ledCount) {
        continue;
      }
      found[i]->Lead(+1);
      ledRaw[ledCount] = found[i].get();
      led[ledCount++] = std::move(found[i]);
    }
    if (!sleeps) {
      // Out of time: drive what is ready once more, then a last test.
      if (ledCount > 0) {
        std::shared_ptr<Waiter> own = waiter ? waiter : Waiter::ForThisThread();
        const Clock::time_point now = Clock::now();
        if (own) PollAndDrive(*own, {ledRaw.data(), ledCount}, &now);
      }
      lastPass = true;
      continue;
    }
    if (!PollAndDrive(*waiter, {ledRaw.data(), ledCount}, deadline ? &*deadline : nullptr)) {
      SetLastError(static_cast<DWORD>(errno));
      result = WAIT_FAILED;
      break;
    }
  }

  if (registered) {
    for (EventObject* e : distinct) {
      std::lock_guard lock(e->mutex_);
      std::erase(e->waiters_, waiter);
    }
  }
  for (std::size_t i = 0; i < ledCount; ++i) led[i]->Lead(-1);
  return result;
}

}  // namespace CPort::Platform
