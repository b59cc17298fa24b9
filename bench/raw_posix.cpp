// The raw contender: the same work done with plain termios + poll + read and
// write on the pty slave, in the measuring thread. It is the limit of this
// machine that every other contender is compared with.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"

namespace bench {

double RawReceive(const Options& o, const Pattern& p, Placement where) {
  const std::string name = std::string("receive (raw, far side a ") + PlacementName(where) + ")";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, where);
  const int fd = pty.OpenSlaveRaw();
  std::vector<std::uint8_t> buffer(o.chunk);
  StreamCheck check(p, o.bulkBytes, name);
  const Clock::time_point start = Clock::now();
  far.Go();
  while (!check.Complete()) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      check.Take(buffer.data(), static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) FailErrno(name + ": read");
    if (!WaitReadable(fd, kWaitLimitMs)) Fail(name + ": no data for 10 s");
  }
  const Clock::time_point end = Clock::now();
  far.Finish();
  ::close(fd);
  return MiBPerSecond(o.bulkBytes, end - start);
}

double RawSend(const Options& o, const Pattern& p) {
  WatchdogScope dog("send (raw)", o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  const int fd = pty.OpenSlaveRaw();
  const Clock::time_point start = Clock::now();
  far.Go();
  std::uint64_t sent = 0;
  while (sent < o.bulkBytes) {
    // One 4 KiB call at a time, finished before the next, like SendText.
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(o.chunk, o.bulkBytes - sent));
    std::size_t done = 0;
    while (done < want) {
      const ssize_t n = ::write(fd, p.At(sent + done), want - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || errno != EAGAIN) FailErrno("send (raw): write");
      if (!WaitWritable(fd, kWaitLimitMs)) Fail("send (raw): the far side took nothing for 10 s");
    }
    sent += want;
  }
  const FarReport report = far.Finish();
  ::close(fd);
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

Trips RawRoundTrips(const Options& o, Placement where) {
  const std::string name = std::string("round trips (raw, far side a ") + PlacementName(where) + ")";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, where);
  const int fd = pty.OpenSlaveRaw();
  far.Go();
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    std::uint8_t back[64];
    const Clock::time_point t0 = Clock::now();
    if (::write(fd, &byte, 1) != 1) FailErrno(name + ": write");
    ssize_t n = 0;
    for (;;) {
      if (!WaitReadable(fd, kWaitLimitMs)) Fail(name + ": no echo for 10 s");
      n = ::read(fd, back, sizeof back);
      if (n > 0) break;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      FailErrno(name + ": read");
    }
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    Check(n == 1 && back[0] == byte, name + ": the echo differs from the byte sent");
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  trips.far = far.Finish();
  ::close(fd);
  return trips;
}

// Open, lock, configure, close: what a plain POSIX program does to open and
// close a serial port. With `watcher`, each cycle also starts a thread that
// polls the descriptor and stops it again through an eventfd: what a small
// serial class with an event thread of its own does, as the port does.
double RawOpenClose(const Options& o, bool watcher) {
  WatchdogScope dog("open + close (raw)", o.RunLimit());
  Pty pty;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    const int fd = pty.OpenSlaveRaw();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) FailErrno("open + close (raw): flock");
    if (watcher) {
      const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (stop < 0) FailErrno("eventfd");
      std::thread thread([fd, stop] {
        for (;;) {
          pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
          const int ready = ::poll(fds, 2, kWaitLimitMs);
          if (ready < 0 && errno == EINTR) continue;
          if (ready <= 0) Fail("open + close (raw): the watcher was never stopped");
          if (fds[1].revents & POLLIN) return;
        }
      });
      const std::uint64_t one = 1;
      if (::write(stop, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) FailErrno("eventfd write");
      thread.join();
      ::close(stop);
    }
    ::close(fd);
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

void HoldRaw(const std::vector<std::string>& paths, OpenedCallback opened) {
  std::vector<int> fds;
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) FailErrno("open " + path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) FailErrno("flock " + path);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) FailErrno("tcgetattr " + path);
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) FailErrno("tcsetattr " + path);
    fds.push_back(fd);
    if (fds.size() == 1) opened(1);
  }
  opened(fds.size());
  for (int fd : fds) ::close(fd);
}

}  // namespace bench
