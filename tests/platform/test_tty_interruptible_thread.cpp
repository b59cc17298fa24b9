// Ending a thread that waits in a system call nothing but a signal ends.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "CPort/platform/interruptible_thread_p.h"
#include "CPort/platform/win_comm.h"

namespace CPort::Platform {
namespace {

TEST(TtyInterruptibleThread, JoinEndsABlockingCall) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);  // blocking, and nobody ever writes
  std::atomic<bool> stop{false};
  std::atomic<int> interruptions{0};
  std::atomic<bool> started{false};
  InterruptibleThread thread;
  ASSERT_EQ(thread.Start([&] {
    char byte;
    started = true;
    while (!stop) {
      if (::read(pipeFds[0], &byte, 1) < 0 && errno == EINTR) ++interruptions;
    }
  }),
            0);
  while (!started) std::this_thread::yield();
  usleep(20000);  // let it settle in read()
  const auto began = std::chrono::steady_clock::now();
  stop = true;
  thread.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  EXPECT_GE(interruptions, 1);
  thread.Join();  // a second join does nothing
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST(TtyInterruptibleThread, SignalWaitsOutsideTheBlockingCall) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::atomic<bool> stop{false};
  std::atomic<bool> quietCallFailed{false};
  InterruptibleThread thread;
  ASSERT_EQ(thread.Start([&] {
    {
      // Stands for a call into the engine: the wake-up must not hit it.
      InterruptibleThread::QuietSection quiet;
      while (!stop) usleep(1000);
      if (usleep(20000) != 0) quietCallFailed = true;
    }
    char byte;
    while (::read(pipeFds[0], &byte, 1) < 0 && errno != EINTR) {
    }
  }),
            0);
  stop = true;
  thread.Join();
  EXPECT_FALSE(quietCallFailed);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

void ApplicationHandler(int) {}

// Runs in a fresh process (the choice of signal is made once per process):
// exits 0 when an application's handler installed before the first port
// survives, the layer took another signal, and the setter answers as
// documented.
void CheckSignalChoice() {
  struct sigaction mine {};
  mine.sa_handler = ApplicationHandler;
  sigemptyset(&mine.sa_mask);
  if (sigaction(SIGRTMIN + 4, &mine, nullptr) != 0) _exit(10);
  if (SetLineWaitSignal(SIGINT)) _exit(11);
  if (GetLastError() != static_cast<DWORD>(EINVAL)) _exit(12);

  int fds[2];
  if (pipe(fds) != 0) _exit(13);
  std::atomic<bool> stop{false};
  InterruptibleThread thread;
  if (thread.Start([&] {
        char byte;
        while (!stop && ::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
        }
      }) != 0) {
    _exit(14);
  }
  usleep(10000);
  stop = true;
  thread.Join();  // ends the read only if the chosen signal reaches it

  struct sigaction now {};
  sigaction(SIGRTMIN + 4, nullptr, &now);
  if (now.sa_handler != ApplicationHandler) _exit(15);  // replaced
  const int chosen = InterruptibleThread::WakeSignal();
  if (chosen == SIGRTMIN + 4 || chosen < SIGRTMIN || chosen > SIGRTMAX) _exit(16);
  if (!SetLineWaitSignal(chosen)) _exit(17);
  if (SetLineWaitSignal(chosen == SIGRTMAX ? SIGRTMIN : SIGRTMAX) || GetLastError() != static_cast<DWORD>(EBUSY)) {
    _exit(18);
  }
  _exit(0);
}

TEST(TtyInterruptibleThreadDeathTest, ApplicationsOwnSignalHandlerIsNeverReplaced) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CheckSignalChoice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace CPort::Platform
