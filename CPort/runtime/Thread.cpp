#include "CPort/runtime/Thread.h"

#include "CPort/runtime/MainThread.h"

namespace CPort {

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

// ApplyPriority is the system's: see platform/<side>/thread_priority.cpp.

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
