// The far side of each pty: the "device" that feeds, drains or echoes. It is
// the same code for every contender, so whatever it costs cancels out in the
// ratios.
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "bench.h"

namespace bench {

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

void FarEcho(int master, std::uint64_t count) {
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

}  // namespace bench
