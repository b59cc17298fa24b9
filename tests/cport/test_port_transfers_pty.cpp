// Transfers and events through a real pseudo-terminal.
#include <gtest/gtest.h>

#include <dirent.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

#include "CPort/ComPort.h"
#include "CPort/platform/unattended_driver_p.h"
#include "CPort/runtime/MainThread.h"
#include "error_display_recorder.h"
#include "pty_pair.h"
#include "serve_until.h"
#include "thread_count.h"

using namespace CPort;
using namespace std::chrono_literals;

using thread_count::ThreadsOfThisProcess;
using thread_count::UnattendedDriverGone;

namespace {

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort(pty.SlavePath());
  }
  // Waits until the port's input queue holds `count` bytes.
  bool WaitForInput(std::int32_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (port.PendingInput() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }
  PtyPair pty;
  TComPort port;
};

}  // namespace

// A transfer whose caller waits for it at once is driven by that caller:
// no thread is started or woken for it, whether it completes at once, waits
// for the device or ends by its timeout. A transfer left pending while its
// caller goes on still gets the driver, so it keeps moving.
TEST_F(PtyPort, SynchronousTransfersStartNoThreadWhileOnesNobodyAwaitsStillAreDriven) {
  port.SetEvents({});
  // "Return at the first byte", else after 30 ms; writes end after 30 ms.
  port.Timeouts().SetReadInterval(-1);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(30);
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(30);
  port.OpenPort();
  const std::string big(256 * 1024, 'w');
  std::string text;
  char byte = 0;
  TransferRecord* record = nullptr;
  port.CreateTransferRecord(record);
  const struct {
    const char* name;
    std::function<std::int32_t()> transfer;
    std::int32_t expected;  // -1: some but not all
    bool driverStarted;
  } cases[] = {
      {"first-byte read satisfied at once",
       [&] {
         pty.Write("x");
         EXPECT_TRUE(WaitForInput(1));
         return port.ReceiveBytes(&byte, 1);
       },
       1, false},
      {"first-byte read ended by its timeout", [&] { return port.ReceiveBytes(&byte, 1); }, 0, false},
      {"text read ended by its timeout", [&] { return port.ReceiveText(text, 10); }, 0, false},
      {"write ended by its timeout with nobody reading", [&] { return port.SendText(big); }, -1, false},
      {"synchronous platform read, no OVERLAPPED",
       [&] {
         Platform::DWORD read = 0;
         EXPECT_TRUE(Platform::ReadFile(port.Handle(), &byte, 1, &read, nullptr));
         return static_cast<std::int32_t>(read);
       },
       0, false},
      {"read left pending while its caller goes on",
       [&] { return port.ReceiveBytesAsync(&byte, 1, record); }, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(UnattendedDriverGone());
    const int threadsBefore = ThreadsOfThisProcess();
    const std::int32_t result = c.transfer();
    if (c.expected >= 0) {
      EXPECT_EQ(result, c.expected);
    } else {
      EXPECT_GT(result, 0);
      EXPECT_LT(result, static_cast<std::int32_t>(big.size()));
    }
    EXPECT_EQ(Platform::UnattendedDriver::RunningThreads(), c.driverStarted ? 1 : 0);
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore + (c.driverStarted ? 1 : 0));
    ::tcflush(pty.Master(), TCIOFLUSH);
  }
  EXPECT_EQ(port.AwaitTransfer(record), 0);  // its timeout ended it meanwhile or now
  port.ReleaseTransferRecord(record);
}

TEST_F(PtyPort, EveryByteValuePassesBothWaysUnchanged) {
  port.SetEvents({});
  port.OpenPort();
  const std::string all = AllByteValues();
  EXPECT_EQ(port.SendText(all), 256);
  EXPECT_EQ(pty.Read(256), all);

  pty.Write(all);
  ASSERT_TRUE(WaitForInput(256));
  std::string text;
  EXPECT_EQ(port.ReceiveText(text, 1024), 256);
  EXPECT_EQ(text, all);
  EXPECT_EQ(port.ReceiveText(text, 1024), 0);
  EXPECT_EQ(text, "");
}

TEST_F(PtyPort, ReadsTakeAtMostTheCountAndLeaveTheRestQueued) {
  port.SetEvents({});
  port.OpenPort();
  std::string sent;
  for (int i = 0; i < 3000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  pty.Write(sent);
  ASSERT_TRUE(WaitForInput(3000));
  std::string got, text;
  EXPECT_EQ(port.ReceiveText(text, 1024), 1024);
  got += text;
  EXPECT_EQ(port.PendingInput(), 3000 - 1024);
  EXPECT_EQ(port.ReceiveText(text, 1024), 1024);
  got += text;
  EXPECT_EQ(port.ReceiveText(text, 1024), 3000 - 2048);
  got += text;
  EXPECT_EQ(got, sent);
}

TEST_F(PtyPort, ReadTimeoutEndsAReadWithWhatCame) {
  port.SetEvents({});
  port.Timeouts().SetReadInterval(0);
  port.Timeouts().SetReadTotalConstant(200);
  port.OpenPort();
  std::string text;
  EXPECT_EQ(port.ReceiveText(text, 10), 0);

  // With a total timeout a read waits for its count: pending until it comes.
  port.Timeouts().SetReadTotalConstant(60000);
  TransferRecord* record = nullptr;
  port.CreateTransferRecord(record);
  port.ReceiveTextAsync(text, 3, record);
  EXPECT_EQ(Platform::WaitForSingleObject(record->event, 0), Platform::WAIT_TIMEOUT);
  pty.Write("abc");
  EXPECT_EQ(port.AwaitTransfer(record), 3);
  EXPECT_EQ(text, "abc");
  port.ReleaseTransferRecord(record);
}

TEST_F(PtyPort, ReadWithoutTimeoutsWaitsForTheFullCount) {
  port.SetEvents({});
  port.Timeouts().SetReadInterval(0);
  port.OpenPort();
  std::thread feeder([&] {
    std::this_thread::sleep_for(50ms);
    pty.Write("12");
    std::this_thread::sleep_for(50ms);
    pty.Write("345");
  });
  std::string text;
  EXPECT_EQ(port.ReceiveText(text, 5), 5);
  EXPECT_EQ(text, "12345");
  feeder.join();
}

TEST_F(PtyPort, WriteTimeoutEndsAWriteNobodyReads) {
  port.SetEvents({});
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(300);
  port.OpenPort();
  const std::string big(256 * 1024, 'w');
  const std::int32_t written = port.SendText(big);
  EXPECT_LT(written, static_cast<std::int32_t>(big.size()));
  EXPECT_GT(written, 0);
}

TEST_F(PtyPort, OverlappedWriteReturnsAtOnceAndAwaitGivesTheCount) {
  port.SetEvents({});
  port.OpenPort();
  const std::string big(64 * 1024, 'q');
  TransferRecord* record = nullptr;
  port.CreateTransferRecord(record);
  // Nobody reads yet: more than the pty holds, so the write is left pending.
  port.SendBytesAsync(big.data(), static_cast<std::int32_t>(big.size()), record);
  EXPECT_EQ(Platform::WaitForSingleObject(record->event, 0), Platform::WAIT_TIMEOUT);
  std::string drained;
  std::thread reader([&] { drained = pty.Read(big.size()); });
  EXPECT_EQ(port.AwaitTransfer(record), static_cast<std::int32_t>(big.size()));
  reader.join();
  port.ReleaseTransferRecord(record);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(drained, big);
}

TEST_F(PtyPort, CloseWhileAReadIsPendingEndsItPromptly) {
  port.SetEvents({});
  port.Timeouts().SetReadInterval(0);
  port.OpenPort();
  TransferRecord* record = nullptr;
  port.CreateTransferRecord(record);
  std::string text;
  port.ReceiveTextAsync(text, 10, record);
  port.ClosePort();
  try {
    port.AwaitTransfer(record);
    ADD_FAILURE() << "an aborted read must not report success";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), 3);
  }
  port.ReleaseTransferRecord(record);
}

TEST_F(PtyPort, RxCharReportsWhatIsWaiting) {
  std::atomic<std::int32_t> total{0};
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    std::string text;
    EXPECT_EQ(port.ReceiveText(text, count), count);
    total += count;
  };
  port.OpenPort();
  pty.Write("first batch");
  ASSERT_TRUE(ServeUntil([&] { return total >= 11; }));
  pty.Write("second");
  ASSERT_TRUE(ServeUntil([&] { return total >= 17; }));
  EXPECT_EQ(total, 17);
}

TEST_F(PtyPort, FarSideClosedWhileOpenStopsMonitoringAndStillCloses) {
  ErrorDisplayRecorder shown;
  port.OpenPort();
  pty.CloseMaster();
  EXPECT_TRUE(ServeUntil([&] { return shown.Count() >= 1; }));
  EXPECT_NO_THROW(port.ClosePort());
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(shown.Count(), 1u);
}

TEST_F(PtyPort, SecondOpenOfTheSameTtyIsRefusedAsBusy) {
  port.SetEvents({});
  port.OpenPort();
  TComPort second;
  second.SetPort(pty.SlavePath());
  try {
    second.OpenPort();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), 1);
    EXPECT_EQ(e.OsErrorCode(), EBUSY);
  }
}
