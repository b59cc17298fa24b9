// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// A thread that waits in a system call nothing else can end: a tty's
// TIOCMIWAIT ignores the descriptor being closed, and tcdrain waits as long
// as flow control holds the output. A signal ends such a call with EINTR.
//
// The signal is a real-time one (it never merges with or disturbs the
// ordinary ones): the one the application named with SetLineWaitSignal
// (win_comm.h), or else the first from SIGRTMIN + 4 up that has no handler
// when the first such thread starts. Its handler does nothing and is
// installed once, without SA_RESTART, so that the interrupted call returns
// instead of being restarted. A handler the application installed on any
// other signal is never touched.
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

  // Runs `body` on a new thread. A previous body must have returned (it is
  // joined here). Returns 0, or the errno when the signal handler or the
  // thread cannot be set up (EAGAIN: no real-time signal is free).
  int Start(std::function<void()> body);

  // Ends the body's blocking call until the body returns, then joins. The
  // caller first tells the body to stop (a flag the body looks at after
  // EINTR). A signal that arrives just before the body enters its call is
  // lost, so the signal is sent again every few milliseconds until the body
  // is done. Does nothing when no thread runs. Must not be called by the
  // body itself.
  void Join();

  // True from Start until the body has returned.
  bool Running();

  // The signal in use, once one has been chosen (0 before).
  static int WakeSignal();
  // See SetLineWaitSignal in win_comm.h: 0, EINVAL or EBUSY.
  static int ChooseWakeSignal(int signal);

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = true;
};

}  // namespace CPort::Platform
