// Line settings reaching a real pseudo-terminal through the port, read back
// from the kernel. A pty forces 8 data bits and drops even parity, so those
// are checked on the virtual device instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "CPort/ComPort.h"
#include "CPort/platform/termios2_linux_p.h"
#include "pty_pair.h"

using namespace CPort;
using CPort::Platform::Termios2State;

namespace {

class PtySettings : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort(pty.SlavePath());
    port.SetEvents({});
  }
  // What the kernel holds now, through a descriptor of our own.
  Termios2State Kernel() {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    Termios2State state;
    EXPECT_EQ(Platform::ReadTermios2(fd, state), 0);
    ::close(fd);
    return state;
  }
  PtyPair pty;
  TComPort port;
};

}  // namespace

TEST_F(PtySettings, DefaultsAreRawNineThousandSixHundredOneStopBit) {
  port.OpenPort();
  const Termios2State k = Kernel();
  EXPECT_EQ(k.outputRate, 9600u);
  EXPECT_EQ(k.inputRate, 9600u);
  EXPECT_EQ(k.cflag & CSTOPB, 0u);
  EXPECT_EQ(k.cflag & (PARODD | CMSPAR | CRTSCTS), 0u);
  EXPECT_EQ(k.iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(k.lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(k.oflag & OPOST, 0u);
}

TEST_F(PtySettings, CustomRateStopBitsParityAndFlowControlReachTheKernel) {
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(1234567);
  port.SetStopBits(sbTwoStopBits);
  port.Parity().SetBits(prMark);
  port.FlowControl().SetFlowControl(fcHardware);
  port.OpenPort();
  Termios2State k = Kernel();
  EXPECT_EQ(k.outputRate, 1234567u);
  EXPECT_TRUE(k.usesBother);
  EXPECT_NE(k.cflag & CSTOPB, 0u);
  EXPECT_EQ(k.cflag & (PARODD | CMSPAR), static_cast<unsigned>(PARODD | CMSPAR));
  EXPECT_NE(k.cflag & CRTSCTS, 0u);

  // Changes on the open port apply at once.
  port.SetBaudRate(br14400);
  port.Parity().SetBits(prSpace);
  port.FlowControl().SetXonChar('A');
  port.FlowControl().SetXoffChar('B');
  port.FlowControl().SetFlowControl(fcSoftware);
  k = Kernel();
  EXPECT_EQ(k.outputRate, 14400u);
  EXPECT_EQ(k.cflag & (PARODD | CMSPAR), static_cast<unsigned>(CMSPAR));
  EXPECT_EQ(k.cflag & CRTSCTS, 0u);
  EXPECT_EQ(k.iflag & (IXON | IXOFF), static_cast<unsigned>(IXON | IXOFF));
  EXPECT_EQ(k.startChar, 'A');
  EXPECT_EQ(k.stopChar, 'B');

  port.Parity().SetBits(prOdd);
  port.SetBaudRate(br256000);
  k = Kernel();
  EXPECT_EQ(k.cflag & (PARODD | CMSPAR), static_cast<unsigned>(PARODD));
  EXPECT_EQ(k.outputRate, 256000u);
}

TEST_F(PtySettings, SettingsChangedWhileClosedArriveAtTheNextOpen) {
  port.OpenPort();
  port.ClosePort();
  port.SetBaudRate(br57600);
  port.OpenPort();
  EXPECT_EQ(Kernel().outputRate, 57600u);
}
