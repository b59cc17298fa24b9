// Process counters around one contender run: CPU time, context switches and
// CPU migrations.
#include <linux/perf_event.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "bench.h"

namespace bench {

namespace {

// A software counter of CPU migrations for the calling thread and every
// thread started from it (or from those) after this call.
int OpenMigrationCounter() {
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_CPU_MIGRATIONS;
  attr.inherit = 1;
  attr.exclude_kernel = 0;
  return static_cast<int>(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

Usage Now() {
  Usage u;
  timespec cpu{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  u.cpuMicros = static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  u.switches = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
  u.voluntary = static_cast<double>(usage.ru_nvcsw);
  return u;
}

}  // namespace

std::string MigrationCounterProblem() {
  const int fd = OpenMigrationCounter();
  if (fd < 0) return std::string("perf_event_open: ") + std::strerror(errno);
  ::close(fd);
  return "";
}

UsageMeter::UsageMeter() : start_(Now()), perf_(OpenMigrationCounter()) {}

UsageMeter::~UsageMeter() {
  if (perf_ >= 0) ::close(perf_);
}

Usage UsageMeter::Read() const {
  Usage u = Now();
  u.cpuMicros -= start_.cpuMicros;
  u.switches -= start_.switches;
  u.voluntary -= start_.voluntary;
  u.migrations = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t count = 0;
  if (perf_ >= 0 && ::read(perf_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    u.migrations = static_cast<double>(count);
  }
  return u;
}

}  // namespace bench
