#include "CPort/runtime/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "CPort/runtime/MainThread.h"

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

TThread::TThread(bool createSuspended) {
  if (!createSuspended) Resume();
}

TThread::~TThread() {
  Terminate();
  if (started_) {
    WaitFor();
    thread_.join();
  }
}

void TThread::Resume() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true)) return;
  thread_ = std::thread([this] { Run(); });
  // Known from here on, so that WaitFor can pick out this thread's requests
  // even before the thread has run a single instruction.
  runningOn_ = thread_.get_id();
}

bool TThread::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TThread::SetPriority(TThreadPriority priority) {
  priority_ = priority;
}

void TThread::ApplyPriority() {
  // Per-thread nice value: setpriority on the thread id. Raising above
  // normal needs privileges; a refusal keeps the current priority.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, tid, NiceOf(priority_));
}

void TThread::Run() {
  runningOn_ = std::this_thread::get_id();
  if (priority_ != TThreadPriority::tpNormal) ApplyPriority();
  try {
    Execute();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  finishedChanged_.notify_all();
  Runtime::NotifyMainThreadQueue();
}

void TThread::WaitFor() {
  if (!started_) return;
  if (Runtime::IsMainThread()) {
    Runtime::ServeThreadRequestsUntil(runningOn_.load(), [this] { return Finished(); });
    return;
  }
  std::unique_lock lock(mutex_);
  finishedChanged_.wait(lock, [this] { return finished_; });
}

}  // namespace CPort
