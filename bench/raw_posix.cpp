// The raw contender: the same work done with plain termios + poll + read and
// write on the pty slave. It is the limit of this machine that the port's
// figures are compared with.
#include <sys/eventfd.h>
#include <sys/file.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

double MiBPerSecond(std::uint64_t bytes, Clock::duration took) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(took).count();
}

}  // namespace

namespace {

// Under PARMRK a received 0xFF arrives doubled; this undoes that (no other
// marking can occur on a pty) so that the check sees the data as sent. Runs
// between two 0xFF bytes are found with memchr, so that the undoing costs
// next to nothing and the figure shows what the flags cost the kernel.
std::size_t Unmark(std::uint8_t* data, std::size_t count, bool& pendingEscape) {
  std::size_t in = 0;
  std::size_t out = 0;
  if (pendingEscape && count > 0) {
    pendingEscape = false;
    ++in;  // the second 0xFF of a pair split across two reads
    data[out++] = 0xFF;
  }
  while (in < count) {
    const void* hit = std::memchr(data + in, 0xFF, count - in);
    const std::size_t end = hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) : count;
    if (out != in) std::memmove(data + out, data + in, end - in);
    out += end - in;
    in = end;
    if (in == count) break;
    // data[in] is the first 0xFF of a pair.
    if (in + 1 == count) {
      pendingEscape = true;
      break;
    }
    data[out++] = 0xFF;
    in += 2;
  }
  return out;
}

double Receive(const Options& o, const Pattern& p, bool marked) {
  const std::string name = marked ? "bulk receive (raw, INPCK | PARMRK)" : "bulk receive (raw)";
  WatchdogScope dog(name, std::chrono::seconds(300));
  Pty pty;
  const int fd = pty.OpenSlaveRaw(marked ? INPCK | PARMRK : 0);
  std::vector<std::uint8_t> buffer(o.chunk);
  StreamCheck check(p, o.bulkBytes, name);
  bool pendingEscape = false;
  const Clock::time_point start = Clock::now();
  std::thread far([&] { FarWrite(pty.Master(), p, o.bulkBytes, o.chunk); });
  while (!check.Complete()) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      std::size_t got = static_cast<std::size_t>(n);
      if (marked) got = Unmark(buffer.data(), got, pendingEscape);
      check.Take(buffer.data(), got);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) FailErrno(name + ": read");
    if (!WaitReadable(fd, kWaitLimitMs)) Fail(name + ": no data for 10 s");
  }
  const Clock::time_point end = Clock::now();
  far.join();
  ::close(fd);
  return MiBPerSecond(o.bulkBytes, end - start);
}

}  // namespace

double RawReceive(const Options& o, const Pattern& p) { return Receive(o, p, false); }
double RawReceiveMarked(const Options& o, const Pattern& p) { return Receive(o, p, true); }

double RawSend(const Options& o, const Pattern& p) {
  WatchdogScope dog("bulk send (raw)", std::chrono::seconds(300));
  Pty pty;
  const int fd = pty.OpenSlaveRaw();
  Clock::time_point drained;
  std::thread far([&] { drained = FarDrain(pty.Master(), p, o.bulkBytes); });
  const Clock::time_point start = Clock::now();
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
      if (n == 0 || errno != EAGAIN) FailErrno("bulk send (raw): write");
      if (!WaitWritable(fd, kWaitLimitMs)) Fail("bulk send (raw): the far side took nothing for 10 s");
    }
    sent += want;
  }
  far.join();
  ::close(fd);
  return MiBPerSecond(o.bulkBytes, drained - start);
}

std::vector<double> RawRoundTrips(const Options& o) {
  WatchdogScope dog("round trips (raw)", std::chrono::seconds(300));
  Pty pty;
  const int fd = pty.OpenSlaveRaw();
  const int total = o.warmupTrips + o.roundTrips;
  std::thread far([&] { FarEcho(pty.Master(), static_cast<std::uint64_t>(total)); });
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    std::uint8_t back[64];
    const Clock::time_point t0 = Clock::now();
    if (::write(fd, &byte, 1) != 1) FailErrno("round trips (raw): write");
    ssize_t n = 0;
    for (;;) {
      if (!WaitReadable(fd, kWaitLimitMs)) Fail("round trips (raw): no echo for 10 s");
      n = ::read(fd, back, sizeof back);
      if (n > 0) break;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      FailErrno("round trips (raw): read");
    }
    const Clock::time_point t1 = Clock::now();
    Check(n == 1 && back[0] == byte, "round trips (raw): the echo differs from the byte sent");
    if (i >= o.warmupTrips) micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  far.join();
  ::close(fd);
  return micros;
}

// Open, configure, start a thread that watches the descriptor, stop it,
// close: what a small POSIX serial class does per open and close.
double RawOpenClose(const Options& o) {
  WatchdogScope dog("open + close (raw)", std::chrono::seconds(300));
  Pty pty;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    const int fd = pty.OpenSlaveRaw();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) FailErrno("open + close (raw): flock");
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) FailErrno("eventfd");
    std::thread watcher([fd, stop] {
      for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kWaitLimitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) Fail("open + close (raw): the watcher was never stopped");
        if (fds[1].revents & POLLIN) return;
      }
    });
    const std::uint64_t one = 1;
    if (::write(stop, &one, sizeof one) != sizeof one) FailErrno("eventfd write");
    watcher.join();
    ::close(stop);
    ::close(fd);
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- child processes ------------------------------------------------------------

int ChildRssRaw(int ports) {
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<int> fds;
  for (int i = 0; i < ports; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    fds.push_back(ptys.back()->OpenSlaveRaw());
  }
  std::printf("hwm_kib=%ld rss_kib=%ld\n", ProcStatusKiB("VmHWM:"), ProcStatusKiB("VmRSS:"));
  std::fflush(stdout);
  for (int fd : fds) ::close(fd);
  return 0;
}

}  // namespace bench
