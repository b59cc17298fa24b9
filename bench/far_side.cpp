// The far side of each pty: the "device" that feeds, drains or echoes. It is
// the same code for every contender, so whatever it costs cancels out in the
// ratios.
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <thread>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

void FarWrite(int master, const Pattern& pattern, std::uint64_t total, std::size_t chunk) {
  std::uint64_t sent = 0;
  while (sent < total) {
    // Each write offers at most the rest of the current chunk.
    const std::size_t inChunk = static_cast<std::size_t>(sent % chunk);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk - inChunk, total - sent));
    const ssize_t n = ::write(master, pattern.At(sent), want);
    if (n > 0) {
      sent += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) FailErrno("far side: write");
    if (!WaitWritable(master, kWaitLimitMs)) {
      Fail("far side: the receiver took nothing for " + std::to_string(kWaitLimitMs / 1000) + " s after " +
           std::to_string(sent) + " bytes");
    }
  }
}

Clock::time_point FarDrain(int master, const Pattern& pattern, std::uint64_t total) {
  std::vector<std::uint8_t> buffer(65536);
  StreamCheck check(pattern, total, "far side");
  while (!check.Complete()) {
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    if (n > 0) {
      check.Take(buffer.data(), static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) FailErrno("far side: read");
    if (!WaitReadable(master, kWaitLimitMs)) {
      Fail("far side: nothing arrived for " + std::to_string(kWaitLimitMs / 1000) + " s after " +
           std::to_string(check.Received()) + " bytes");
    }
  }
  return Clock::now();
}

void FarEcho(int master, std::uint64_t count, std::vector<int>& cpus, std::chrono::microseconds late = {}) {
  std::uint8_t buffer[256];
  std::uint64_t echoed = 0;
  while (echoed < count) {
    if (!WaitReadable(master, kWaitLimitMs)) {
      Fail("far side: no byte to echo for " + std::to_string(kWaitLimitMs / 1000) + " s after " +
           std::to_string(echoed));
    }
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) FailErrno("far side: read");
    cpus.push_back(CurrentCpu());
    if (late.count() > 0) std::this_thread::sleep_for(late);
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(n)) {
      const ssize_t w = ::write(master, buffer + done, static_cast<std::size_t>(n) - done);
      if (w > 0) {
        done += static_cast<std::size_t>(w);
      } else if (w < 0 && errno == EAGAIN) {
        if (!WaitWritable(master, kWaitLimitMs)) Fail("far side: cannot echo");
      } else if (!(w < 0 && errno == EINTR)) {
        FailErrno("far side: write");
      }
    }
    echoed += static_cast<std::uint64_t>(n);
  }
}

// Writes `each` bytes of the pattern to every master at once, a chunk at a
// time to whichever can take it.
void FarWriteMany(const std::vector<int>& masters, const Pattern& pattern, std::uint64_t each, std::size_t chunk) {
  std::vector<std::uint64_t> sent(masters.size(), 0);
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    for (std::size_t i = 0; i < masters.size(); ++i) {
      if (sent[i] < each) fds.push_back(pollfd{masters[i], POLLOUT, 0});
    }
    if (fds.empty()) return;
    const int ready = ::poll(fds.data(), fds.size(), kWaitLimitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) FailErrno("far side: poll");
    if (ready == 0) Fail("far side: no receiver took anything for 10 s");
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (!(p.revents & POLLOUT)) Fail("far side: hang-up or error on a master");
      const std::size_t i = static_cast<std::size_t>(
          std::find(masters.begin(), masters.end(), p.fd) - masters.begin());
      const std::size_t inChunk = static_cast<std::size_t>(sent[i] % chunk);
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk - inChunk, each - sent[i]));
      const ssize_t n = ::write(p.fd, pattern.At(sent[i]), want);
      if (n > 0) sent[i] += static_cast<std::uint64_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) FailErrno("far side: write");
    }
  }
}

}  // namespace

int CurrentCpu() { return ::sched_getcpu(); }

double SameCpuShare(const Trips& trips, int warmup) {
  const std::vector<int>& far = trips.far.echoCpus;
  if (far.size() != trips.cpus.size() || trips.cpus.size() <= static_cast<std::size_t>(warmup)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::size_t same = 0;
  for (std::size_t i = static_cast<std::size_t>(warmup); i < far.size(); ++i) same += far[i] == trips.cpus[i];
  return static_cast<double>(same) / static_cast<double>(far.size() - static_cast<std::size_t>(warmup));
}

FarReport RunFarJob(const std::vector<int>& masters, const FarJob& job) {
  const Pattern pattern(job.chunk);
  FarReport report;
  Check(!masters.empty(), "far side: no pty");
  switch (job.kind) {
    case FarJob::Kind::Write:
      FarWrite(masters[0], pattern, job.bytes, job.chunk);
      report.end = Clock::now();
      break;
    case FarJob::Kind::Drain:
      report.end = FarDrain(masters[0], pattern, job.bytes);
      break;
    case FarJob::Kind::Echo:
    case FarJob::Kind::EchoLate:
      report.echoCpus.reserve(static_cast<std::size_t>(job.bytes));
      FarEcho(masters[0], job.bytes, report.echoCpus,
              std::chrono::microseconds(job.kind == FarJob::Kind::EchoLate ? job.chunk : 0));
      report.end = Clock::now();
      break;
    case FarJob::Kind::WriteMany:
      FarWriteMany(masters, pattern, job.bytes, job.chunk);
      report.end = Clock::now();
      break;
  }
  return report;
}

}  // namespace bench
