// Ending a thread that waits in a system call nothing but a signal ends.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "CPort/platform/interruptible_thread_p.h"

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

}  // namespace
}  // namespace CPort::Platform
