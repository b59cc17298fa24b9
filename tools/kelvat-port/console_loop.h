// The main thread of a console command that keeps a port open: it serves
// the port library's hand-over queue (so that handlers and the application's
// error display run on it) and ends at Ctrl+C, a stop signal or Stop().
//
// It waits in poll() on a signalfd and an eventfd that the library's
// wake-up callback writes to; nothing polls on a timer.
#pragma once

#include <signal.h>

#include <chrono>
#include <functional>

namespace KelvatPort {

class ConsoleLoop {
 public:
  // Blocks SIGINT, SIGTERM and SIGHUP so that they reach the signalfd
  // only. Build it before any thread is started: threads inherit the mask,
  // and a thread that did not would take the signal's default action.
  ConsoleLoop();
  // Removes the wake-up and restores the signal mask; stop the threads that
  // use the queue (close the port) first.
  ~ConsoleLoop();
  ConsoleLoop(const ConsoleLoop&) = delete;
  ConsoleLoop& operator=(const ConsoleLoop&) = delete;

  // Serves the queue until a stop signal comes (returns its number) or
  // Stop() is called (returns 0).
  int Run();
  // Ends Run() after the request being served. Main thread only.
  void Stop() { stopped_ = true; }

  // Also waits for `fd` to be readable (or at its end) while `active()`
  // holds (always, without one), and then calls `onReady` on this thread.
  void WatchInput(int fd, std::function<void()> onReady, std::function<bool()> active = nullptr) {
    inputFd_ = fd;
    onInput_ = std::move(onReady);
    inputActive_ = std::move(active);
  }
  // Ends Run() after `delay` unless it ended before (returns 0 then too).
  void StopAfter(std::chrono::milliseconds delay);
  // Whether Run() ended because the StopAfter time had passed.
  bool TimedOut() const { return timedOut_; }

 private:
  void Release();

  int signalFd_ = -1;
  int wakeFd_ = -1;
  bool stopped_ = false;
  int timerFd_ = -1;
  bool timedOut_ = false;
  int inputFd_ = -1;
  std::function<void()> onInput_;
  std::function<bool()> inputActive_;
  sigset_t previousMask_{};
};

}  // namespace KelvatPort
