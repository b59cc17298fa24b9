// The tty device on pseudo-terminal pairs this test creates: the backend
// opens the slave by its path, the test plays the far end on the master.
// A pty keeps rate, stop bits, stick parity and flow flags but forces CS8
// and clears PARENB, so only what sticks is read back.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "CPort/platform/termios2_linux_p.h"
#include "CPort/platform/tty_backend_posix.h"

namespace CPort::Platform {
namespace {

class RecordingSink : public DeviceSink {
 public:
  void BytesArrived(const std::uint8_t*, std::size_t) override {}
  void LineEvents(DWORD events) override {
    std::lock_guard lock(mutex_);
    events_ |= events;
  }
  void LineErrors(DWORD errors) override {
    std::lock_guard lock(mutex_);
    errors_ |= errors;
  }
  void Wake() override {}
  void DeviceLost(int) override {}
  DWORD Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  DWORD Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  DWORD events_ = 0;
  DWORD errors_ = 0;
};

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 115200;
  dcb.Flags = DcbFlag::fBinary | (DTR_CONTROL_ENABLE << DcbFlag::fDtrControlShift) |
              (RTS_CONTROL_ENABLE << DcbFlag::fRtsControlShift);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

class TtyBackendTest : public testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    slavePath_ = name;
    // The master stays in raw mode too, so bytes cross unchanged.
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    int error = -1;
    device_ = OpenTtyDevice(slavePath_, error);
    ::close(slave);
    ASSERT_NE(device_, nullptr) << "errno " << error;
    EXPECT_EQ(error, 0);
    device_->Attach(&sink_);
  }

  void TearDown() override {
    if (device_) {
      device_->Detach();
      device_->Close();
    }
    if (master_ >= 0) ::close(master_);
  }

  void MasterWrite(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::string MasterRead(std::size_t count) {
    std::string got;
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 2000) != 1) break;
      char buffer[512];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // Reads through the backend, `chunk` bytes at a time, until `count`
  // bytes came or nothing more arrives within two seconds.
  std::string DeviceRead(std::size_t count, std::size_t chunk = 512) {
    std::string got;
    std::vector<std::uint8_t> buffer(chunk);
    while (got.size() < count) {
      const ssize_t n = device_->Read(buffer.data(), std::min(chunk, count - got.size()));
      if (n == -EAGAIN) {
        pollfd p{device_->PollFd(), POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) break;
        continue;
      }
      if (n <= 0) {
        ADD_FAILURE() << "Read returned " << n;
        break;
      }
      got.append(buffer.begin(), buffer.begin() + n);
    }
    return got;
  }

  Termios2State Kept() {
    Termios2State state;
    EXPECT_EQ(ReadTermios2(device_->PollFd(), state), 0);
    return state;
  }

  int master_ = -1;
  std::string slavePath_;
  RecordingSink sink_;
  std::unique_ptr<DeviceBackend> device_;
};

std::string AllByteValues() {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  return all;
}

TEST_F(TtyBackendTest, OpensInRawNonBlockingMode) {
  const Termios2State s = Kept();
  EXPECT_EQ(s.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(s.oflag & OPOST, 0u);
  EXPECT_EQ(s.iflag & (ICRNL | IXON | ISTRIP | IGNBRK | BRKINT), 0u);
  // A pty has no line errors, so its input is not marked (and 0xFF is not
  // doubled by the kernel).
  EXPECT_EQ(s.iflag & (INPCK | PARMRK), 0u);
  EXPECT_EQ(s.minChars, 1);
  std::uint8_t byte;
  // Nothing there: "try again", never 0, which would mean the line is gone.
  EXPECT_EQ(device_->Read(&byte, 1), -EAGAIN);
}

TEST_F(TtyBackendTest, AppliedStateReadsBack) {
  const struct {
    const char* what;
    DWORD rate;
    BYTE parity, stopBits;
    DWORD flags;
    tcflag_t cflagBits;  // among CSTOPB | PARODD | CMSPAR | CRTSCTS
    tcflag_t iflagBits;  // among IXON | IXOFF
  } table[] = {
      {"standard rate", 115200, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"custom rate", 1234567, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"Windows 14400", 14400, NOPARITY, ONESTOPBIT, 0, 0, 0},
      {"two stop bits", 9600, NOPARITY, TWOSTOPBITS, 0, CSTOPB, 0},
      {"odd parity", 9600, ODDPARITY, ONESTOPBIT, 0, PARODD, 0},
      {"mark parity", 9600, MARKPARITY, ONESTOPBIT, 0, PARODD | CMSPAR, 0},
      {"space parity", 9600, SPACEPARITY, ONESTOPBIT, 0, CMSPAR, 0},
      {"hardware flow", 57600, NOPARITY, ONESTOPBIT,
       DcbFlag::fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << DcbFlag::fRtsControlShift), CRTSCTS, 0},
      {"software flow", 57600, NOPARITY, ONESTOPBIT,
       DcbFlag::fOutX | DcbFlag::fInX | DcbFlag::fTXContinueOnXoff, 0, IXON | IXOFF},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    DCB dcb = BaseDcb();
    dcb.BaudRate = row.rate;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    dcb.Flags = (dcb.Flags & ~DcbFlag::fRtsControlMask) | row.flags;
    dcb.XonChar = 0x05;
    dcb.XoffChar = 0x06;
    ASSERT_EQ(device_->ApplyState(dcb), 0);
    const Termios2State s = Kept();
    EXPECT_EQ(s.outputRate, row.rate);
    EXPECT_EQ(s.inputRate, row.rate);
    EXPECT_EQ(s.usesBother, row.rate == 1234567 || row.rate == 14400);
    EXPECT_EQ(s.cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS), row.cflagBits);
    EXPECT_EQ(s.iflag & (IXON | IXOFF), row.iflagBits);
    EXPECT_EQ(s.startChar, 0x05);
    EXPECT_EQ(s.stopChar, 0x06);
  }
}

TEST_F(TtyBackendTest, SettingsAPtyDropsAreStillAccepted) {
  // The driver forces CS8 and clears PARENB; the ioctl's own result counts.
  DCB dcb = BaseDcb();
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  EXPECT_EQ(device_->ApplyState(dcb), 0);
  dcb.ByteSize = 4;
  EXPECT_EQ(device_->ApplyState(dcb), EINVAL);
}

TEST_F(TtyBackendTest, OpenIsExclusiveAndChecksThePath) {
  int error = 0;
  EXPECT_EQ(OpenTtyDevice(slavePath_, error), nullptr);
  EXPECT_EQ(error, EBUSY);

  device_->Detach();
  device_->Close();
  device_ = OpenTtyDevice(slavePath_, error);
  EXPECT_NE(device_, nullptr) << "closing must release the lock, errno " << error;
  if (device_) device_->Attach(&sink_);

  EXPECT_EQ(OpenTtyDevice("/dev/cport-test-no-such-tty", error), nullptr);
  EXPECT_EQ(error, ENOENT);

  char file[] = "/tmp/cport-tty-test-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(OpenTtyDevice(file, error), nullptr);
  EXPECT_EQ(error, ENOTTY);
  ::close(fd);
  ::unlink(file);
}

TEST_F(TtyBackendTest, MovesEveryByteValueBothWays) {
  const std::string all = AllByteValues();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(all.data());
  ASSERT_EQ(device_->Write(bytes, all.size()), static_cast<ssize_t>(all.size()));
  EXPECT_EQ(MasterRead(all.size()), all);

  // Twice over, so that 0xFF (doubled by the kernel under PARMRK) also
  // sits at a read boundary when read one byte at a time.
  MasterWrite(all + all);
  EXPECT_EQ(DeviceRead(all.size()), all);
  EXPECT_EQ(DeviceRead(all.size(), 1), all);
  EXPECT_EQ(sink_.Errors(), 0u);
}

TEST_F(TtyBackendTest, UndoublesRunsOfFF) {
  const std::string run(300, '\xff');
  MasterWrite(run + "end");
  EXPECT_EQ(DeviceRead(run.size() + 3, 7), run + "end");
}

TEST_F(TtyBackendTest, DropsZeroBytesWithFNull) {
  DCB dcb = BaseDcb();
  dcb.Flags |= DcbFlag::fNull;
  ASSERT_EQ(device_->ApplyState(dcb), 0);
  MasterWrite(std::string("\0a\0\0b\xff\0", 7) + "c");
  EXPECT_EQ(DeviceRead(4), "ab\xff" "c");
}

TEST_F(TtyBackendTest, SoftwareFlowControlHoldsOutput) {
  DCB dcb = BaseDcb();
  dcb.Flags |= DcbFlag::fOutX;
  dcb.XonChar = 'Q';
  dcb.XoffChar = 'S';
  ASSERT_EQ(device_->ApplyState(dcb), 0);
  MasterWrite("S");
  // The stop character is consumed; give the line discipline time to see it.
  std::uint8_t byte;
  pollfd p{device_->PollFd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 50), 0);
  EXPECT_EQ(device_->Read(&byte, 1), -EAGAIN);

  const std::uint8_t data[] = {'x', 'y'};
  EXPECT_EQ(device_->Write(data, 2), -EAGAIN);
  MasterWrite("Q");
  pollfd w{device_->PollFd(), POLLOUT, 0};
  ASSERT_EQ(poll(&w, 1, 2000), 1);
  EXPECT_EQ(device_->Write(data, 2), 2);
  EXPECT_EQ(MasterRead(2), "xy");
}

TEST_F(TtyBackendTest, PtyHasNoModemLinesAndNoTxDelay) {
  DWORD status = 0xFFFF;
  EXPECT_EQ(device_->ModemStatus(status), 0);
  EXPECT_EQ(status, 0u);
  DWORD queued = 1;
  EXPECT_EQ(device_->OutputQueued(queued), 0);
  EXPECT_EQ(queued, 0u);
  device_->WatchTxEmpty();
  EXPECT_EQ(sink_.Events(), EV_TXEMPTY);
}

TEST_F(TtyBackendTest, PurgeDiscardsReceivedInput) {
  MasterWrite("stale");
  pollfd p{device_->PollFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(device_->Purge(PURGE_RXCLEAR | PURGE_TXCLEAR), 0);
  std::uint8_t buffer[8];
  EXPECT_EQ(device_->Read(buffer, sizeof buffer), -EAGAIN);
  MasterWrite("new");
  EXPECT_EQ(DeviceRead(3), "new");
}

TEST_F(TtyBackendTest, ClosedFarEndIsADeviceGone) {
  ::close(master_);
  master_ = -1;
  pollfd p{device_->PollFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  std::uint8_t buffer[8];
  EXPECT_EQ(device_->Read(buffer, sizeof buffer), -EIO);
  EXPECT_EQ(device_->Read(buffer, sizeof buffer), -EIO);
  EXPECT_EQ(device_->Write(buffer, 1), -EIO);
}

}  // namespace
}  // namespace CPort::Platform
