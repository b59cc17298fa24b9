// Thread priorities on Linux: per-thread nice values.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "CPort/runtime/Thread.h"

namespace CPort {
namespace {

// Nice values standing in for the priorities (Linux's normal scheduler).
int NiceOf(TThreadPriority p) {
  switch (p) {
    case TThreadPriority::tpIdle: return 19;
    case TThreadPriority::tpLowest: return 10;
    case TThreadPriority::tpLower: return 5;
    case TThreadPriority::tpNormal: return 0;
    case TThreadPriority::tpHigher: return -5;
    case TThreadPriority::tpHighest: return -10;
    case TThreadPriority::tpTimeCritical: return -20;
  }
  return 0;
}

}  // namespace

void TThread::ApplyPriority() {
  // Per-thread nice value: setpriority on the thread id. Raising above
  // normal needs privileges; a refusal keeps the current priority.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, tid, NiceOf(priority_));
}

}  // namespace CPort
