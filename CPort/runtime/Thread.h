// TThread: a thread object that runs Execute on a new operating-system
// thread. It can be created suspended and resumed, has a priority, and its
// destruction waits for Execute to end.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <condition_variable>
#include <thread>

namespace CPort {

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
 public:
  explicit TThread(bool createSuspended);
  // Marks the thread terminated and waits for Execute to end (see WaitFor).
  // A derived class whose Execute uses its own members must stop and wait in
  // its own destructor first.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts a suspended thread; does nothing once started.
  void Resume();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const;
  // True when called on this object's own thread.
  bool IsCurrentThread() const { return runningOn_.load() == std::this_thread::get_id(); }

  // Applied when the thread starts (and at once if it runs). Only tpNormal
  // and below can be had without privileges on Linux; a refused priority
  // leaves the thread at its current one.
  void SetPriority(TThreadPriority priority);
  TThreadPriority Priority() const { return priority_; }

  // Waits until Execute has ended (at once for a thread never started). On
  // the main thread it keeps serving the requests this thread hands to the
  // main thread meanwhile (and only those), so a thread that hands work to
  // the main thread cannot deadlock its own end, and no other thread's work
  // runs in the middle of the wait. Must not be called from the thread
  // itself, which would wait for ever.
  void WaitFor();

  // The exception that ended Execute, if any.
  std::exception_ptr FatalException() const { return fatal_; }

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  void ApplyPriority();

  std::thread thread_;
  std::atomic<std::thread::id> runningOn_{};  // known once started
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::exception_ptr fatal_;
};

}  // namespace CPort
