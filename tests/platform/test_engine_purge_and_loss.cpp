// Purge (abort and clear), queue counts, flow control toward a push-style
// device, and what a lost device does to pending and later calls.
#include <algorithm>
#include <fstream>
#include <string>

#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

using PurgeTest = VirtualPortTest;
using DeviceLossTest = VirtualPortTest;

TEST_F(PurgeTest, RxAbortEndsThePendingReadWithTheBytesSoFar) {
  char buffer[5] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(ReadFile(port_, buffer, 5, &read, &overlapped));
  device_->Feed("ab");
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
  ASSERT_TRUE(Completes(overlapped));
  EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &read, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer, 2), "ab");
}

TEST_F(PurgeTest, TxAbortEndsHeldWritesAndTheOutputCountDrops) {
  device_->HoldOutput(true);
  DWORD written = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WriteFile(port_, "12345", 5, &written, &overlapped));
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
  EXPECT_EQ(stat.cbOutQue, 5u);
  ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT));
  EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &written, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
  EXPECT_EQ(stat.cbOutQue, 0u);
  device_->HoldOutput(false);
  EXPECT_EQ(device_->Written(), "");
}

TEST_F(PurgeTest, RxClearDiscardsTheQueueAndWhatTheDeviceHeldBack) {
  ASSERT_TRUE(SetupComm(port_, 5000, 16));
  device_->Feed(std::string(6000, 'z'));
  EXPECT_EQ(InputCount(), 5000u);
  EXPECT_EQ(device_->PendingInput(), 1000u) << "a full queue holds the rest back at the device";
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  EXPECT_EQ(InputCount(), 0u);
  EXPECT_EQ(device_->PendingInput(), 0u);
}

TEST_F(PurgeTest, SmallQueueSizeIsARecommendationAndAFullQueueRefills) {
  ASSERT_TRUE(SetupComm(port_, 8, 8));
  std::string fed;
  for (int i = 0; i < 10000; ++i) fed += static_cast<char>('a' + i % 26);
  device_->Feed(fed);
  EXPECT_EQ(InputCount(), 4096u);
  std::string got;
  char buffer[1000];
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  while (got.size() < fed.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, fed.size() - got.size()));
    ASSERT_TRUE(ReadFile(port_, buffer, want, &read, &overlapped));
    got.append(buffer, read);
  }
  EXPECT_EQ(got, fed);
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The largest size SetupComm takes must cost what arrives, not gigabytes
// filled up front; a size beyond it is refused and the old one stays.
TEST_F(PurgeTest, HugeQueueSizeCostsOnlyTheDataThatArrives) {
  const long before = ResidentKiB();
  ASSERT_TRUE(SetupComm(port_, 0x7FFFFFFE, 0x7FFFFFFE));
  device_->Feed(std::string(100000, 'h'));
  EXPECT_EQ(InputCount(), 100000u) << "the whole feed fits the queue";
  EXPECT_LT(ResidentKiB() - before, 32 * 1024) << "KiB grown";

  ASSERT_TRUE(SetupComm(port_, 5000, 16));
  EXPECT_FALSE(SetupComm(port_, 0x80000000u, 16));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  device_->Feed(std::string(6000, 'z'));
  EXPECT_EQ(InputCount(), 5000u) << "the refused size must leave the old one";
}

TEST_F(PurgeTest, InvalidFlagsAreRejected) {
  EXPECT_FALSE(PurgeComm(port_, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PurgeComm(port_, 0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PurgeTest, ClosingEndsPendingOperationsAsAborted) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  ASSERT_TRUE(CloseHandle(port_));
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(overlapped.Internal, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(Completes(overlapped, 0));
  EXPECT_FALSE(device_->IsOpen());
}

TEST_F(DeviceLossTest, PendingAndLaterCallsFailPromptly) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD events = 0;
  OVERLAPPED wait = Overlapped();
  HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED read = Overlapped(readEvent);
  char buffer[4];
  DWORD count = 0;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));
  ASSERT_FALSE(ReadFile(port_, buffer, 4, &count, &read));

  const auto start = Clock::now();
  device_->Unplug();
  EXPECT_FALSE(GetOverlappedResult(port_, &wait, &count, TRUE));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(GetOverlappedResult(port_, &read, &count, TRUE));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_LT(MillisecondsSince(start), 2000);

  EXPECT_FALSE(WaitCommEvent(port_, &events, &wait));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(ReadFile(port_, buffer, 4, &count, &read));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(WriteFile(port_, "x", 1, &count, &read));
  EXPECT_EQ(GetLastError(), 5u);
  CloseHandle(readEvent);
}

}  // namespace
}  // namespace CPort::Platform::Testing
