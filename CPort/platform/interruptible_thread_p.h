// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// A thread that waits in a system call nothing else can end: a tty's
// TIOCMIWAIT ignores the descriptor being closed, and tcdrain waits as long
// as flow control holds the output. A signal ends such a call with EINTR.
//
// The signal is SIGRTMIN + 4 (a real-time signal, so it never merges with or
// disturbs the ordinary ones and is not among those glibc reserves). Its
// handler does nothing and is installed once, without SA_RESTART, so that
// the interrupted call returns instead of being restarted.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace CPort::Platform {

class InterruptibleThread {
 public:
  InterruptibleThread() = default;
  ~InterruptibleThread() { Join(); }
  InterruptibleThread(const InterruptibleThread&) = delete;
  InterruptibleThread& operator=(const InterruptibleThread&) = delete;

  // Held by the body around calls into other code (the engine's sink): the
  // wake-up signal then waits until the section ends instead of making some
  // unrelated system call in there fail with EINTR.
  class QuietSection {
   public:
    QuietSection();
    ~QuietSection();
    QuietSection(const QuietSection&) = delete;
    QuietSection& operator=(const QuietSection&) = delete;
  };

  // Runs `body` on a new thread. Must not be running already. Returns 0, or
  // the errno when the signal handler or the thread cannot be set up.
  int Start(std::function<void()> body);

  // Ends the body's blocking call until the body returns, then joins. The
  // caller first tells the body to stop (a flag the body looks at after
  // EINTR). A signal that arrives just before the body enters its call is
  // lost, so the signal is sent again every few milliseconds until the body
  // is done. Does nothing when no thread runs.
  void Join();

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = true;
};

}  // namespace CPort::Platform
