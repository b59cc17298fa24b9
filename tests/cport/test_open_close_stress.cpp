// Opening, streaming and closing a pty port many times under each delivery
// method leaves no thread and no descriptor behind, and an open pty port
// runs exactly one thread of its own.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "CPort/ComPort.h"
#include "CPort/platform/unattended_driver_p.h"
#include "CPort/runtime/MainThread.h"
#include "pty_pair.h"

using namespace CPort;
using namespace std::chrono_literals;

namespace {

int Entries(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - (std::string(directory) == "/proc/self/fd" ? 1 : 0);  // the directory's own
}

int Threads() { return Entries("/proc/self/task") - Platform::UnattendedDriver::RunningThreads(); }
int Descriptors() { return Entries("/proc/self/fd"); }

// Threads end a moment after they are joined or leave; wait for the count
// to come back, within a generous limit.
bool SettlesAt(int (*count)(), int expected) {
  for (int i = 0; i < 500; ++i) {
    if (count() == expected && Platform::UnattendedDriver::RunningThreads() == 0) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class Received {
 public:
  void Add(int count) {
    std::lock_guard lock(mutex_);
    total_ += count;
    changed_.notify_all();
  }
  // smNone delivers on the event thread; the others need the main thread
  // to serve their hand-overs.
  bool WaitFor(int total, TSyncMethod method) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::unique_lock lock(mutex_);
    while (total_ < total) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (method == smNone) {
        changed_.wait_until(lock, deadline, [&] { return total_ >= total; });
      } else {
        lock.unlock();
        Runtime::WaitAndServeMainThreadQueue(20ms);
        lock.lock();
      }
    }
    return true;
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    total_ = 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int total_ = 0;
};

TEST(OpenCloseStress, ThousandCyclesPerDeliveryMethodLeaveNoThreadOrDescriptor) {
  constexpr int kCycles = 1000;
  PtyPair pty;
  for (TSyncMethod method : {smNone, smThreadSync, smWindowSync}) {
    SCOPED_TRACE(static_cast<int>(method));
    TComPort port;
    port.SetPort(pty.SlavePath());
    port.SetSyncMethod(method);
    Received received;
    port.OnRxChar = [&](TComponent*, std::int32_t count) {
      std::string text;
      received.Add(port.ReceiveText(text, count));
    };
    auto cycle = [&](bool checkThreads, int threadsClosed) {
      received.Reset();
      port.OpenPort();
      if (checkThreads) {
        EXPECT_EQ(Threads(), threadsClosed + 1) << "one event thread, nothing else";
      }
      pty.Write("ping");
      ASSERT_TRUE(received.WaitFor(4, method));
      EXPECT_EQ(port.SendText("pong"), 4);
      ASSERT_EQ(pty.Read(4), "pong");
      port.ClosePort();
    };
    cycle(false, 0);  // the first use sets up per-thread state that stays
    ASSERT_TRUE(SettlesAt(Descriptors, Descriptors()));
    const int threads = Threads();
    const int descriptors = Descriptors();
    for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) cycle(i == 0, threads);
    EXPECT_TRUE(SettlesAt(Threads, threads)) << Threads() << " threads, " << threads << " before";
    EXPECT_TRUE(SettlesAt(Descriptors, descriptors)) << Descriptors() << " descriptors, " << descriptors << " before";
  }
}

}  // namespace
