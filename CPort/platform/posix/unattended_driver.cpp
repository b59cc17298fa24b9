// The process's driver of unattended transfers (see unattended_driver_p.h).
#include "unattended_driver_p.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace CPort::Platform::UnattendedDriver {

namespace {

// How long the thread stays once nothing is registered, so that work that
// comes and goes (a transfer pending for a moment before its caller waits)
// does not start a thread each time.
constexpr int kLingerMs = 100;
// Marks the wake-up descriptor's entry (engines' entries hold descriptors).
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

struct State {
  std::mutex mutex;
  int epollFd = -1;
  int wakeFd = -1;
  std::map<int, std::weak_ptr<EventDriver>> drivers;  // by descriptor
  bool running = false;
  bool sleepsForEver = false;  // the thread sleeps without a time limit
};

// Never destroyed: the detached thread may still be on its way out when
// the process ends.
State& TheState() {
  static State* state = new State;
  return *state;
}

void Wake(State& state) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(state.wakeFd, &one, sizeof one);
}

void Run() {
  State& state = TheState();
  epoll_event ready[16];
  for (;;) {
    int timeout = -1;
    int epollFd = -1;
    {
      std::lock_guard lock(state.mutex);
      epollFd = state.epollFd;
      timeout = state.drivers.empty() ? kLingerMs : -1;
      state.sleepsForEver = timeout < 0;
    }
    const int count = ::epoll_wait(epollFd, ready, 16, timeout);
    {
      std::lock_guard lock(state.mutex);
      state.sleepsForEver = false;
      if (count == 0 && state.drivers.empty()) {
        // Nothing is left of the driver while nothing needs it.
        ::close(state.epollFd);
        ::close(state.wakeFd);
        state.epollFd = -1;
        state.wakeFd = -1;
        state.running = false;
        return;
      }
    }
    for (int i = 0; i < count; ++i) {
      if (ready[i].data.u64 == kWakeTag) {
        std::uint64_t value = 0;
        std::lock_guard lock(state.mutex);
        [[maybe_unused]] const ssize_t ignored = ::read(state.wakeFd, &value, sizeof value);
        continue;
      }
      const auto fd = static_cast<int>(ready[i].data.u64);
      std::shared_ptr<EventDriver> driver;
      {
        std::lock_guard lock(state.mutex);
        const auto it = state.drivers.find(fd);
        if (it != state.drivers.end()) driver = it->second.lock();
      }
      if (driver) driver->Drive();
    }
  }
}

}  // namespace

int Add(const std::shared_ptr<EventDriver>& driver) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (state.epollFd < 0) {
    state.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (state.epollFd < 0) return errno;
    state.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state.wakeFd < 0) {
      const int error = errno;
      ::close(state.epollFd);
      state.epollFd = -1;
      return error;
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeTag;
    ::epoll_ctl(state.epollFd, EPOLL_CTL_ADD, state.wakeFd, &wake);
  }
  const int fd = driver->WaitDescriptor();
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = static_cast<std::uint64_t>(fd);
  if (::epoll_ctl(state.epollFd, EPOLL_CTL_ADD, fd, &event) != 0 && errno != EEXIST) return errno;
  state.drivers[fd] = driver;
  if (!state.running) {
    try {
      std::thread(Run).detach();
    } catch (const std::system_error& error) {
      state.drivers.erase(fd);
      ::epoll_ctl(state.epollFd, EPOLL_CTL_DEL, fd, nullptr);
      return error.code().value();
    }
    state.running = true;
  }
  return 0;
}

void Remove(const EventDriver* driver) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  const int fd = driver->WaitDescriptor();
  const auto it = state.drivers.find(fd);
  if (it == state.drivers.end()) return;
  state.drivers.erase(it);
  ::epoll_ctl(state.epollFd, EPOLL_CTL_DEL, fd, nullptr);
  // A thread asleep without a limit would never notice it has nothing left.
  if (state.drivers.empty() && state.sleepsForEver) Wake(state);
}

int RunningThreads() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  return state.running ? 1 : 0;
}

}  // namespace CPort::Platform::UnattendedDriver
