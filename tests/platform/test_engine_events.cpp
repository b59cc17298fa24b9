// The event mask, the wait and its history, and the events the engine
// derives from input (rx-char, rx-flag, rx-80-full) and from line reports.
#include <string>
#include <thread>

#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

using EventWaitTest = VirtualPortTest;

TEST_F(EventWaitTest, EventBeforeTheWaitIsRememberedOnceAndUnreadInputIsNotReReported) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
  device_->Feed("a");
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_RXCHAR);

  // The byte is still unread; that alone must not end the next wait.
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(Completes(overlapped, 150));
  device_->Feed("b");
  ASSERT_TRUE(Completes(overlapped));
  DWORD transferred = 0;
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(InputCount(), 2u);
}

// Input captured before rx-char was watched used to stay unreported until
// more arrived: it is reported once when rx-char is armed.
TEST_F(EventWaitTest, InputWaitingWhenRxCharIsArmedIsReportedOnce) {
  ASSERT_TRUE(SetCommMask(port_, EV_CTS));
  device_->Feed("hello");
  ASSERT_EQ(InputCount(), 5u);
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  const BOOL reported = WaitCommEvent(port_, &events, &overlapped);
  if (!reported) {
    ASSERT_TRUE(SetCommMask(port_, 0));  // ends the wait before `overlapped` goes
  }
  ASSERT_TRUE(reported) << "the waiting input was not reported";
  EXPECT_EQ(events, EV_RXCHAR);
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped)) << "reported twice";
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(SetCommMask(port_, 0));
}

TEST_F(EventWaitTest, EventsOutsideTheMaskAreNeitherReportedNorRemembered) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  device_->SetModemLines(MS_CTS_ON);
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_FALSE(Completes(overlapped, 100));
  device_->SetModemLines(0);
  ASSERT_TRUE(Completes(overlapped));
  EXPECT_EQ(events, EV_CTS);
}

TEST_F(EventWaitTest, NewMaskEndsThePendingWaitEmptyAndKeepsOnlyStillWantedHistory) {
  ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RING));
  DWORD events = 0xFFFF;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RING));
  ASSERT_TRUE(Completes(overlapped));
  DWORD transferred = 0;
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
  EXPECT_EQ(events, 0u);

  device_->SetModemLines(MS_CTS_ON | MS_DSR_ON);
  ASSERT_TRUE(SetCommMask(port_, EV_DSR | EV_RING));
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_DSR);
}

TEST_F(EventWaitTest, InvalidWaitsFailWithInvalidParameter) {
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(SetCommMask(port_, 0));
  EXPECT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(SetCommMask(port_, EV_RING));
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD second = 0;
  OVERLAPPED other = Overlapped();
  HANDLE otherEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  other.hEvent = otherEvent;
  EXPECT_FALSE(WaitCommEvent(port_, &second, &other));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The first wait is unharmed.
  device_->Ring();
  ASSERT_TRUE(Completes(overlapped));
  EXPECT_EQ(events, EV_RING);
  CloseHandle(otherEvent);

  EXPECT_FALSE(SetCommMask(port_, 0x10000));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(EventWaitTest, EventCharacterRaisesRxFlag) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(port_, &dcb));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_RXFLAG));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  device_->Feed("ab");
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_RXCHAR);
  device_->Feed("c\nd");
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_RXCHAR | EV_RXFLAG);
}

TEST_F(EventWaitTest, Rx80FullWhenTheQueueReachesEightyPercent) {
  ASSERT_TRUE(SetupComm(port_, 5000, 100));
  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  device_->Feed(std::string(3999, 'x'));
  EXPECT_FALSE(Completes(overlapped, 100));
  device_->Feed("y");
  ASSERT_TRUE(Completes(overlapped));
  EXPECT_EQ(events, EV_RX80FULL);
}

// The queue never shrinks below its default, but the threshold follows the
// size the port asked for.
TEST_F(EventWaitTest, Rx80FullFollowsTheRequestedSizeOfASmallQueue) {
  ASSERT_TRUE(SetupComm(port_, 1024, 1024));
  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  device_->Feed(std::string(819, 'x'));
  EXPECT_FALSE(Completes(overlapped, 100));
  device_->Feed("y");
  ASSERT_TRUE(Completes(overlapped));
  EXPECT_EQ(events, EV_RX80FULL);
}

TEST_F(EventWaitTest, LineErrorsAndBreakAreCollectedUntilClearCommError) {
  ASSERT_TRUE(SetCommMask(port_, EV_ERR | EV_BREAK));
  device_->RaiseErrors(CE_FRAME | CE_OVERRUN);
  device_->Break();
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_ERR | EV_BREAK);
  DWORD errors = 0;
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(errors, CE_FRAME | CE_OVERRUN | CE_BREAK);
  ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
  EXPECT_EQ(errors, 0u);
}

TEST_F(EventWaitTest, ModemLinesRingAndTxEmpty) {
  ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_TXEMPTY));
  device_->SetModemLines(MS_DSR_ON | MS_RLSD_ON);
  device_->Ring();
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_DSR | EV_RLSD | EV_RING);
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(port_, &status));
  EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);
  ASSERT_TRUE(GetCommModemStatus(port_, &status));
  EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON);

  DWORD written = 0;
  OVERLAPPED write = Overlapped();
  ASSERT_TRUE(WriteFile(port_, "x", 1, &written, &write));
  ASSERT_TRUE(WaitCommEvent(port_, &events, &overlapped));
  EXPECT_EQ(events, EV_TXEMPTY);
}

TEST_F(EventWaitTest, GetOverlappedResultWithoutWaitReportsIncomplete) {
  ASSERT_TRUE(SetCommMask(port_, EV_RING));
  DWORD events = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  // An OVERLAPPED this device never started cannot be waited for.
  OVERLAPPED stranger{};
  stranger.Internal = STATUS_PENDING;
  EXPECT_FALSE(GetOverlappedResult(port_, &stranger, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A zeroed one reads as a finished empty transfer.
  OVERLAPPED zeroed{};
  EXPECT_TRUE(GetOverlappedResult(port_, &zeroed, &transferred, TRUE));
  EXPECT_EQ(transferred, 0u);

  // The wait writes into this frame: end it before the frame goes.
  ASSERT_TRUE(SetCommMask(port_, EV_RING));
  EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
}

TEST_F(EventWaitTest, WaitWithoutEventIsCompletedThroughGetOverlappedResult) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD events = 0;
  OVERLAPPED overlapped{};
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::thread feeder([this] {
    std::this_thread::sleep_for(30ms);
    device_->Feed("q");
  });
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, TRUE));
  feeder.join();
  EXPECT_EQ(events, EV_RXCHAR);
}

}  // namespace
}  // namespace CPort::Platform::Testing
