// The one-hand-off floor: raw round trips where a poll thread learns that the
// echo is there and hands that to the measuring thread through an eventfd,
// which then reads it. Nothing else is added, so this is the least a library
// can take that delivers device events to one thread while another waits on
// the device (the port's smThreadSync and smWindowSync do that).
//
// After the hand-off the poll thread waits until the measuring thread has
// read the input (a second eventfd), as the port's event thread waits for the
// main thread's handler; otherwise it would find the same input ready again
// and spin. That wait is off the measured path: the measuring thread signals
// it after taking its time stamp.
#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "bench.h"

namespace bench {

namespace {

constexpr const char* kName = "round trips (raw, one hand-off)";

void Post(int eventFd) {
  const std::uint64_t one = 1;
  if (::write(eventFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) FailErrno(std::string(kName) + ": eventfd write");
}

// Waits for an eventfd to be posted and takes the post.
void Take(int eventFd) {
  if (!WaitReadable(eventFd, kWaitLimitMs)) Fail(std::string(kName) + ": no hand-off for 10 s");
  std::uint64_t value = 0;
  if (::read(eventFd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) FailErrno(std::string(kName) + ": eventfd read");
}

}  // namespace

Trips HandoffRoundTrips(const Options& o) {
  WatchdogScope dog(kName, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  const int fd = pty.OpenSlaveRaw();
  const int ready = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int taken = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (ready < 0 || taken < 0) FailErrno("eventfd");
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    for (;;) {
      if (!WaitReadable(fd, kWaitLimitMs)) Fail(std::string(kName) + ": no echo for 10 s");
      Post(ready);
      Take(taken);
      if (stop.load(std::memory_order_acquire)) return;
    }
  });
  far.Go();
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    std::uint8_t back[64];
    const Clock::time_point t0 = Clock::now();
    if (::write(fd, &byte, 1) != 1) FailErrno(std::string(kName) + ": write");
    Take(ready);
    const ssize_t n = ::read(fd, back, sizeof back);
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    if (n < 0) FailErrno(std::string(kName) + ": read");
    Check(n == 1 && back[0] == byte, std::string(kName) + ": the echo differs from the byte sent");
    if (i + 1 == total) stop.store(true, std::memory_order_release);
    Post(taken);
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  poller.join();
  trips.far = far.Finish();
  ::close(ready);
  ::close(taken);
  ::close(fd);
  return trips;
}

}  // namespace bench
