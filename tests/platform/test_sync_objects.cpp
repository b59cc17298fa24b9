// Event objects, waits on one or several of them, and handle validity.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "CPort/platform/unattended_driver_p.h"
#include "CPort/platform/win_comm.h"

namespace CPort::Platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SyncObjects, ManualResetStaysSignalledAutoResetIsTakenByOneWait) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
}

TEST(SyncObjects, TimedWaitTimesOutAndIsEndedBySetFromAnotherThread) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 80), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 75ms);

  std::thread setter([event] {
    std::this_thread::sleep_for(30ms);
    SetEvent(event);
  });
  start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  EXPECT_LT(Clock::now() - start, 5s);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the wait consumed the auto-reset event";
  CloseHandle(event);
}

TEST(SyncObjects, WaitAnyReportsTheLowestSignalledIndexAndConsumesOnlyIt) {
  HANDLE events[3];
  for (HANDLE& e : events) e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 20), WAIT_TIMEOUT);
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
  for (HANDLE e : events) CloseHandle(e);
}

TEST(SyncObjects, WaitAllNeedsEveryEventAtOnce) {
  HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 30), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0) << "a failed wait-all consumes nothing";
  SetEvent(events[0]);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    SetEvent(events[1]);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 5000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0);
  for (HANDLE e : events) CloseHandle(e);
}

TEST(SyncObjects, OneSetOfAnAutoResetEventReleasesExactlyOneWaiter) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  std::thread a([&] { released += WaitForSingleObject(event, 400) == WAIT_OBJECT_0; });
  std::thread b([&] { released += WaitForSingleObject(event, 400) == WAIT_OBJECT_0; });
  std::this_thread::sleep_for(50ms);
  SetEvent(event);
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 1);
  CloseHandle(event);
}

TEST(SyncObjects, InvalidHandlesAndArgumentsFail) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  HANDLE none[1] = {0};
  EXPECT_EQ(WaitForMultipleObjects(0, none, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

int EventFdCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (const dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:[eventfd]") ++count;
  }
  closedir(dir);
  return count;
}

// The first port of a process left one eventfd behind for good: the
// descriptor its thread waited on. A thread that closes the process's last
// handle keeps none.
TEST(SyncObjects, ClosingTheLastHandleLeavesTheThreadNoWaitDescriptor) {
  // The driver of unattended transfers keeps one of its own for a moment.
  for (int i = 0; i < 500 && UnattendedDriver::RunningThreads() > 0; ++i) std::this_thread::sleep_for(10ms);
  std::thread([] {
    const int before = EventFdCount();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);  // this thread's first wait
    EXPECT_EQ(EventFdCount(), before + 1);
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(EventFdCount(), before + 1) << "kept while a handle is open";
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_EQ(EventFdCount(), before);
  }).join();
}

TEST(SyncObjects, LastErrorIsPerThread) {
  SetLastError(42);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetLastError(7);
  });
  other.join();
  EXPECT_EQ(GetLastError(), 42u);
}

}  // namespace
}  // namespace CPort::Platform
