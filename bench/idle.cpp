// Idle: an open port with all ten events armed and no traffic. Each contender
// runs in a child process of its own, so that the process counters hold
// nothing but the contender: CPU time (all threads), and context switches
// (voluntary + involuntary, all threads). The raw contender sleeps in one
// poll() for the whole time: one wake-up.
#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "bench.h"

namespace bench {

namespace {

struct Counters {
  double cpuMicros = 0;
  long voluntary = 0;
  long involuntary = 0;
  long otherVoluntary = 0;  // of the threads other than the main one
  int threads = 0;
};

long TaskStatus(const std::string& path, const char* key) {
  std::ifstream status(path);
  std::string line;
  const std::string prefix = key;
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return 0;
}

Counters Snapshot() {
  Counters c;
  timespec cpu{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  c.cpuMicros = static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  c.voluntary = usage.ru_nvcsw;
  c.involuntary = usage.ru_nivcsw;
  const std::string self = std::to_string(::getpid());
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      ++c.threads;
      if (self == entry->d_name) continue;
      c.otherVoluntary +=
          TaskStatus(std::string("/proc/self/task/") + entry->d_name + "/status", "voluntary_ctxt_switches:");
    }
    ::closedir(tasks);
  }
  return c;
}

void Print(const Counters& a, const Counters& b) {
  const long voluntary = b.voluntary - a.voluntary;
  const long involuntary = b.involuntary - a.involuntary;
  std::printf("cpu_us=%.1f csw=%ld vcsw=%ld ivcsw=%ld threads=%d other_vcsw=%ld\n", b.cpuMicros - a.cpuMicros,
              voluntary + involuntary, voluntary, involuntary, b.threads, b.otherVoluntary - a.otherVoluntary);
  std::fflush(stdout);
}

}  // namespace

int ChildIdleRaw(int ms) {
  Pty pty;
  const int fd = pty.OpenSlaveRaw();
  const Counters before = Snapshot();
  pollfd p{fd, POLLIN | POLLPRI, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, ms);
  } while (ready < 0 && errno == EINTR);
  const Counters after = Snapshot();
  if (ready != 0) Fail("idle (raw): something happened on an idle pty");
  Print(before, after);
  ::close(fd);
  return 0;
}

int ChildIdlePort(int ms) {
  using namespace CPort;
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetEvents(kAllComEvents);  // smThreadSync, the default: the console loop below serves it
  int handlerCalls = 0;
  port.OnRxChar = [&](TComponent*, std::int32_t) { ++handlerCalls; };
  port.OnTxEmpty = [&](TComponent*) { ++handlerCalls; };
  port.OnError = [&](TComponent*, TComErrors) { ++handlerCalls; };
  port.OpenPort();
  // Let whatever opening starts come to rest before counting.
  auto serve_for = [](std::chrono::milliseconds span) {
    const Clock::time_point end = Clock::now() + span;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return;
      Runtime::WaitAndServeMainThreadQueue(left);
    }
  };
  serve_for(std::chrono::milliseconds(100));
  const Counters before = Snapshot();
  serve_for(std::chrono::milliseconds(ms));
  const Counters after = Snapshot();
  Print(before, after);
  port.ClosePort();
  if (handlerCalls != 0) Fail("idle (port): a handler ran on an idle port");
  return 0;
}

}  // namespace bench
