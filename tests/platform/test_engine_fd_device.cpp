// The engine over a descriptor-style backend: a bare pty behind a minimal
// backend written here, so that the engine's own poll path (input pulled by
// its thread, output queued behind a full kernel queue, hang-up) is tested
// without depending on the tty backend's features.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "CPort/platform/device_backend_p.h"
#include "CPort/platform/handle_table_p.h"
#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

class BarePtyBackend final : public DeviceBackend {
 public:
  explicit BarePtyBackend(int fd) : fd_(fd) {}
  ~BarePtyBackend() override { Close(); }
  BarePtyBackend(const BarePtyBackend&) = delete;
  BarePtyBackend& operator=(const BarePtyBackend&) = delete;

  void Attach(DeviceSink*) override {}
  void Detach() override {}
  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int SetupQueues(DWORD, DWORD) override { return 0; }
  int ApplyState(const DCB&) override { return 0; }
  int ApplyTimeouts(const COMMTIMEOUTS&) override { return 0; }
  int PollFd() const override { return fd_; }
  bool ReadsUnchanged() const override { return true; }
  ssize_t Read(std::uint8_t* buffer, std::size_t count) override {
    const ssize_t got = ::read(fd_, buffer, count);
    if (got == 0) return -EIO;  // a hung-up pty reads as end of file
    return got < 0 ? -errno : got;
  }
  ssize_t Write(const std::uint8_t* data, std::size_t count) override {
    const ssize_t put = ::write(fd_, data, count);
    return put < 0 ? -errno : put;
  }
  int OutputQueued(DWORD& count) override {
    count = 0;
    return 0;
  }
  void WatchTxEmpty() override {}
  int ModemStatus(DWORD& status) override {
    status = 0;
    return 0;
  }
  int Purge(DWORD flags) override {
    if (flags & PURGE_RXCLEAR) ::tcflush(fd_, TCIFLUSH);
    return 0;
  }

 private:
  int fd_;
};

class FdEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    ASSERT_EQ(::openpty(&master_, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(slave, F_SETFL, O_NONBLOCK);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    port_ = OpenDeviceHandle(std::make_unique<BarePtyBackend>(slave));
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    if (master_ >= 0) ::close(master_);
    CloseHandle(event_);
  }

  // Writes everything, waiting whenever the pty's queue toward the port is full.
  void Send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      ASSERT_EQ(errno, EAGAIN);
      pollfd fd{master_, POLLOUT, 0};
      ASSERT_EQ(::poll(&fd, 1, 5000), 1);
    }
  }

  std::string Receive(std::size_t count) const {
    std::string got;
    const auto start = Clock::now();
    while (got.size() < count && MillisecondsSince(start) < 5000) {
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, 5000) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  int master_ = -1;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = 0;
};

// Bytes that were in the kernel's queue before rx-char was watched (a device
// that greeted before the port's event thread armed its mask) were counted
// by the input count but never reported, until more arrived. They are
// reported once when rx-char is armed, and not again by later waits; a mask
// that merely keeps rx-char does not report them again either.
TEST_F(FdEngineTest, InputWaitingWhenRxCharIsArmedIsReportedOnce) {
  Send("banner");
  COMSTAT stat{};
  DWORD errors = 0;
  const auto start = Clock::now();
  while (stat.cbInQue < 6 && MillisecondsSince(start) < 5000) {
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    if (stat.cbInQue < 6) ::usleep(1000);
  }
  ASSERT_EQ(stat.cbInQue, 6u);

  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD events = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_;
  const BOOL reported = WaitCommEvent(port_, &events, &overlapped);
  if (!reported) {
    ASSERT_TRUE(SetCommMask(port_, 0));  // ends the wait before `overlapped` goes
  }
  ASSERT_TRUE(reported) << "the waiting input was not reported";
  EXPECT_EQ(events, EV_RXCHAR);

  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
  ASSERT_FALSE(WaitCommEvent(port_, &events, &overlapped)) << "reported twice";
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  Send("!");
  ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
  DWORD transferred = 0;
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &transferred, FALSE));
  EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(FdEngineTest, PendingReadIsCompletedByTheEngineThread) {
  char buffer[6] = {};
  DWORD read = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_;
  ASSERT_FALSE(ReadFile(port_, buffer, 6, &read, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  Send("abc");
  Send("defgh");
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  EXPECT_EQ(std::string(buffer, read), "abcdef");
  // The rest waits in the input queue (or is still on its way to it).
  if (!ReadFile(port_, buffer, 2, &read, &overlapped)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
  }
  EXPECT_EQ(std::string(buffer, 2), "gh");
}

TEST_F(FdEngineTest, FullInputQueueLeavesTheRestInTheKernel) {

  ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
  DWORD events = 0;
  OVERLAPPED wait{};
  wait.hEvent = event_;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));
  std::string fed;
  for (int i = 0; i < 6000; ++i) fed += static_cast<char>('0' + i % 64);
  Send(fed);
  ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RX80FULL);

  std::string got;
  char buffer[1000];
  DWORD read = 0;
  const COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = readEvent;
  while (got.size() < fed.size()) {
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
    EXPECT_LE(stat.cbInQue, 4096u);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, fed.size() - got.size()));
    if (!ReadFile(port_, buffer, want, &read, &overlapped)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &read, TRUE));
    }
    ASSERT_GT(read, 0u);
    got.append(buffer, read);
  }
  EXPECT_EQ(got, fed);
  CloseHandle(readEvent);
}

// The kernel's queue is the input queue here: events come from its growth,
// so bytes left unread, or read before their arrival was noticed, must not
// be reported again, and rx-80-full follows the requested size.
TEST_F(FdEngineTest, KernelQueueReportsEachArrivalOnceAndCountsFromTheKernel) {
  ASSERT_TRUE(SetupComm(port_, 1000, 1000));
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_RX80FULL));
  DWORD events = 0;
  OVERLAPPED wait{};
  wait.hEvent = event_;
  auto next = [&](DWORD milliseconds) -> DWORD {
    events = 0;
    if (!WaitCommEvent(port_, &events, &wait)) {
      EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
      if (WaitForSingleObject(event_, milliseconds) != WAIT_OBJECT_0) return 0xDEAD;
    }
    return events;
  };
  Send(std::string(10, 'a'));
  EXPECT_EQ(next(5000), EV_RXCHAR);
  EXPECT_EQ(next(150), 0xDEADu) << "ten unread bytes reported twice";
  Send(std::string(800, 'b'));  // 810 of 1000: past 80%
  ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RXCHAR | EV_RX80FULL);
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 810u);

  std::string buffer(810, '\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(port_, buffer.data(), 810, &read, nullptr));
  EXPECT_EQ(buffer, std::string(10, 'a') + std::string(800, 'b'));
  EXPECT_EQ(next(150), 0xDEADu) << "a read reported as new input";
  Send("c");
  ASSERT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(events, EV_RXCHAR) << "rx-80-full again without crossing";
  ASSERT_TRUE(SetCommMask(port_, 0));  // ends the wait before the frame goes
}

TEST_F(FdEngineTest, WritesAreDeliveredInOrder) {
  const std::string big(64 * 1024, 'w');
  DWORD written = 0;
  OVERLAPPED first{};
  first.hEvent = event_;
  HANDLE secondEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED second{};
  second.hEvent = secondEvent;
  // Nobody reads yet: the kernel queue fills and the rest waits in the engine.
  EXPECT_FALSE(WriteFile(port_, big.data(), static_cast<DWORD>(big.size()), &written, &first));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(WriteFile(port_, "END", 3, &written, &second));
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
  EXPECT_GT(stat.cbOutQue, 3u);

  const std::string got = Receive(big.size() + 3);
  ASSERT_TRUE(GetOverlappedResult(port_, &first, &written, TRUE));
  EXPECT_EQ(written, big.size());
  ASSERT_TRUE(GetOverlappedResult(port_, &second, &written, TRUE));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(got, big + "END");
  CloseHandle(secondEvent);
}

TEST_F(FdEngineTest, HangUpFailsThePendingWaitPromptly) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  DWORD events = 0;
  OVERLAPPED wait{};
  wait.hEvent = event_;
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));
  const auto start = Clock::now();
  ::close(master_);
  master_ = -1;
  DWORD transferred = 0;
  EXPECT_FALSE(GetOverlappedResult(port_, &wait, &transferred, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_FALSE(WaitCommEvent(port_, &events, &wait));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
}

}  // namespace
}  // namespace CPort::Platform::Testing
