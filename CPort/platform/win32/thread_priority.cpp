// Thread priorities on Windows: the system's own levels.
#include "CPort/runtime/Thread.h"
#include "win_comm.h"

namespace CPort {
namespace {

int LevelOf(TThreadPriority p) {
  switch (p) {
    case TThreadPriority::tpIdle: return THREAD_PRIORITY_IDLE;
    case TThreadPriority::tpLowest: return THREAD_PRIORITY_LOWEST;
    case TThreadPriority::tpLower: return THREAD_PRIORITY_BELOW_NORMAL;
    case TThreadPriority::tpNormal: return THREAD_PRIORITY_NORMAL;
    case TThreadPriority::tpHigher: return THREAD_PRIORITY_ABOVE_NORMAL;
    case TThreadPriority::tpHighest: return THREAD_PRIORITY_HIGHEST;
    case TThreadPriority::tpTimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

}  // namespace

void TThread::ApplyPriority() {
  // Runs on the thread itself. A refusal keeps the current priority.
  ::SetThreadPriority(::GetCurrentThread(), LevelOf(priority_));
}

}  // namespace CPort
