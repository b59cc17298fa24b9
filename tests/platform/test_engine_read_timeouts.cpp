// Read completion by COMMTIMEOUTS, inline and pending.
#include <cstring>
#include <string>
#include <thread>

#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

using ReadTimeoutTest = VirtualPortTest;

TEST_F(ReadTimeoutTest, ReadThatCanFinishCompletesInlineAndFillsTheOverlapped) {
  device_->Feed("hello world");
  char buffer[5] = {};
  DWORD read = 99;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(ReadFile(port_, buffer, 5, &read, &overlapped));
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(overlapped.InternalHigh, 5u);
  EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
  EXPECT_EQ(InputCount(), 6u);
}

TEST_F(ReadTimeoutTest, MaxdwordIntervalAloneReturnsWhatIsThereEvenNothing) {
  SetTimeouts(MAXDWORD, 0, 0);
  char buffer[10] = {};
  DWORD read = 99;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(ReadFile(port_, buffer, 10, &read, &overlapped));
  EXPECT_EQ(read, 0u);

  device_->Feed("abc");
  ASSERT_TRUE(ReadFile(port_, buffer, 10, &read, &overlapped));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(ReadTimeoutTest, MaxdwordIntervalWithTotalReturnsAtOnceOnlyWhenSomethingIsThere) {
  SetTimeouts(MAXDWORD, 0, 200);
  char buffer[10] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();

  device_->Feed("xy");
  ASSERT_TRUE(ReadFile(port_, buffer, 10, &read, &overlapped));
  EXPECT_EQ(read, 2u);

  const auto start = Clock::now();
  ASSERT_FALSE(ReadFile(port_, buffer, 10, &read, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(overlapped.Internal, STATUS_PENDING);
  device_->Feed("z");
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  EXPECT_GE(MillisecondsSince(start), 150);
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(ReadTimeoutTest, MaxdwordMaxdwordCompletesOnTheFirstByteWithOneByte) {
  SetTimeouts(MAXDWORD, MAXDWORD, 5000);
  char buffer[10] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(ReadFile(port_, buffer, 10, &read, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

  const auto start = Clock::now();
  device_->Feed("abc");
  ASSERT_TRUE(Completes(overlapped, 2000));
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, FALSE));
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(InputCount(), 2u);

  // With bytes waiting, it takes all of them (up to the count) at once.
  ASSERT_TRUE(ReadFile(port_, buffer, 10, &read, &overlapped));
  EXPECT_EQ(std::string(buffer, read), "bc");
}

TEST_F(ReadTimeoutTest, MaxdwordMaxdwordWithNothingArrivingEndsAfterTheConstant) {
  SetTimeouts(MAXDWORD, MAXDWORD, 100);
  char buffer[4];
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  const auto start = Clock::now();
  ASSERT_FALSE(ReadFile(port_, buffer, 4, &read, &overlapped));
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  EXPECT_GE(MillisecondsSince(start), 90);
  EXPECT_EQ(read, 0u);
}

TEST_F(ReadTimeoutTest, TotalTimeoutEndsSuccessfullyWithThePartialCount) {
  SetTimeouts(0, 10, 100);  // 5 bytes: 150 ms
  char buffer[5] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  const auto start = Clock::now();
  ASSERT_FALSE(ReadFile(port_, buffer, 5, &read, &overlapped));
  device_->Feed("ab");
  EXPECT_FALSE(Completes(overlapped, 50));
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  const auto elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 140);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer, 2), "ab");
}

TEST_F(ReadTimeoutTest, IntervalTimeoutStartsWithTheFirstByte) {
  SetTimeouts(60, 0, 0);
  char buffer[10] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(ReadFile(port_, buffer, 10, &read, &overlapped));
  EXPECT_FALSE(Completes(overlapped, 200)) << "no byte yet: no interval running";

  const auto start = Clock::now();
  device_->Feed("ab");
  std::this_thread::sleep_for(30ms);
  device_->Feed("c");  // restarts the interval
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  EXPECT_GE(MillisecondsSince(start), 80);
  EXPECT_EQ(std::string(buffer, read), "abc");
}

TEST_F(ReadTimeoutTest, NoTimeoutsWaitForTheFullCount) {
  SetTimeouts(0, 0, 0);
  char buffer[6] = {};
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  device_->Feed("12");
  ASSERT_FALSE(ReadFile(port_, buffer, 6, &read, &overlapped));
  device_->Feed("34");
  EXPECT_FALSE(Completes(overlapped, 150));
  device_->Feed("5678");
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  EXPECT_EQ(std::string(buffer, read), "123456");
  EXPECT_EQ(InputCount(), 2u);
}

TEST_F(ReadTimeoutTest, QueuedReadsCompleteInOrder) {
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char first[3] = {}, next[3] = {};
  DWORD read = 0;
  OVERLAPPED a = Overlapped();
  OVERLAPPED b = Overlapped(second);
  ASSERT_FALSE(ReadFile(port_, first, 3, &read, &a));
  ASSERT_FALSE(ReadFile(port_, next, 3, &read, &b));
  device_->Feed("abcdef");
  ASSERT_TRUE(GetOverlappedResult(port_, &a, &read, TRUE));
  ASSERT_TRUE(GetOverlappedResult(port_, &b, &read, TRUE));
  EXPECT_EQ(std::string(first, 3), "abc");
  EXPECT_EQ(std::string(next, 3), "def");
  CloseHandle(second);
}

TEST_F(ReadTimeoutTest, ReadWithoutOverlappedWaitsForItsResult) {
  SetTimeouts(0, 0, 0);
  std::thread feeder([this] {
    std::this_thread::sleep_for(50ms);
    device_->Feed("sync");
  });
  char buffer[4] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(port_, buffer, 4, &read, nullptr));
  feeder.join();
  EXPECT_EQ(std::string(buffer, read), "sync");
}

TEST_F(ReadTimeoutTest, WriteTimeoutEndsSuccessfullyWithWhatWasWritten) {
  SetTimeouts(0, 0, 0, 0, 100);
  device_->HoldOutput(true);
  DWORD written = 0;
  OVERLAPPED overlapped = Overlapped();
  const auto start = Clock::now();
  ASSERT_FALSE(WriteFile(port_, "abcd", 4, &written, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &written, TRUE));
  EXPECT_GE(MillisecondsSince(start), 90);
  EXPECT_EQ(written, 0u);
  device_->HoldOutput(false);
  EXPECT_EQ(device_->Written(), "") << "timed-out bytes must not go out later";
}

}  // namespace
}  // namespace CPort::Platform::Testing
