// DCB to termios translation, without a device.
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>

#include "CPort/platform/termios_mapping.h"

namespace CPort::Platform {
namespace {

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.Flags = DcbFlag::fBinary;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

DWORD Dtr(DWORD mode) { return mode << DcbFlag::fDtrControlShift; }
DWORD Rts(DWORD mode) { return mode << DcbFlag::fRtsControlShift; }

TtySettings Map(const DCB& dcb) {
  TtySettings settings;
  EXPECT_EQ(MapDcbToTermios(dcb, settings), 0);
  return settings;
}

TEST(TermiosMapping, RawBinaryModeWhateverTheDcb) {
  const TtySettings s = Map(BaseDcb());
  // No translation, echo, canonical editing, signals or output processing;
  // errors and breaks marked in-band; receiver on, carrier ignored.
  EXPECT_EQ(s.iflag, static_cast<std::uint32_t>(INPCK | PARMRK));
  EXPECT_EQ(s.oflag, 0u);
  EXPECT_EQ(s.lflag, 0u);
  EXPECT_EQ(s.cflag & (CREAD | CLOCAL), static_cast<std::uint32_t>(CREAD | CLOCAL));
  EXPECT_EQ(s.minChars, 1);  // VMIN 0 would make an empty read look like end of file
  EXPECT_EQ(s.timeTenths, 0);
  EXPECT_EQ(s.unsupported, 0u);
}

TEST(TermiosMapping, StandardRatesUseTheirCode) {
  const struct {
    DWORD rate;
    speed_t code;
  } table[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& row : table) {
    DCB dcb = BaseDcb();
    dcb.BaudRate = row.rate;
    const TtySettings s = Map(dcb);
    EXPECT_EQ(s.cflag & CBAUD, row.code) << row.rate;
    EXPECT_FALSE(s.customRate) << row.rate;
    EXPECT_EQ(s.baudRate, row.rate);
  }
}

TEST(TermiosMapping, OtherRatesNeedBother) {
  // Windows' own CBR_ rates without a termios code, and arbitrary ones.
  for (DWORD rate : {14400u, 56000u, 128000u, 256000u, 1234567u, 31250u, 3u, 4000001u}) {
    DCB dcb = BaseDcb();
    dcb.BaudRate = rate;
    const TtySettings s = Map(dcb);
    EXPECT_TRUE(s.customRate) << rate;
    EXPECT_EQ(s.cflag & CBAUD, 0u) << rate;
    EXPECT_EQ(s.baudRate, rate);
  }
}

TEST(TermiosMapping, FramingBits) {
  const struct {
    BYTE byteSize, parity, stopBits;
    tcflag_t expected;  // within CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
  } table[] = {
      {5, NOPARITY, ONESTOPBIT, CS5},
      {6, NOPARITY, ONESTOPBIT, CS6},
      {7, NOPARITY, ONESTOPBIT, CS7},
      {8, NOPARITY, ONESTOPBIT, CS8},
      {8, ODDPARITY, ONESTOPBIT, CS8 | PARENB | PARODD},
      {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
      {7, MARKPARITY, ONESTOPBIT, CS7 | PARENB | CMSPAR | PARODD},
      {7, SPACEPARITY, ONESTOPBIT, CS7 | PARENB | CMSPAR},
      {8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB},
      {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},  // a UART's 1.5 stop bits (refused with 6..8 bits)
      {6, EVENPARITY, TWOSTOPBITS, CS6 | PARENB | CSTOPB},
  };
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  for (const auto& row : table) {
    DCB dcb = BaseDcb();
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    EXPECT_EQ(Map(dcb).cflag & kFraming, row.expected)
        << int(row.byteSize) << " bits, parity " << int(row.parity) << ", stop " << int(row.stopBits);
  }
}

TEST(TermiosMapping, FlowControlAndLines) {
  using namespace DcbFlag;
  const struct {
    DWORD flags;
    bool crtscts, ixon, ixoff, dtr, rts;
  } table[] = {
      {Dtr(DTR_CONTROL_DISABLE) | Rts(RTS_CONTROL_DISABLE), false, false, false, false, false},
      {Dtr(DTR_CONTROL_ENABLE) | Rts(RTS_CONTROL_ENABLE), false, false, false, true, true},
      {fOutxCtsFlow | Dtr(DTR_CONTROL_ENABLE) | Rts(RTS_CONTROL_HANDSHAKE), true, false, false, true, true},
      // Either half of hardware handshake switches on the kernel's single one.
      {fOutxCtsFlow | Rts(RTS_CONTROL_ENABLE), true, false, false, false, true},
      {Rts(RTS_CONTROL_HANDSHAKE), true, false, false, false, true},
      {fOutX, false, true, false, false, false},
      {fInX | fTXContinueOnXoff, false, false, true, false, false},
      {fOutX | fInX | fTXContinueOnXoff | Dtr(DTR_CONTROL_ENABLE), false, true, true, true, false},
      // Handshakes the kernel cannot run still raise the line.
      {Dtr(DTR_CONTROL_HANDSHAKE) | Rts(RTS_CONTROL_TOGGLE), false, false, false, true, true},
  };
  for (const auto& row : table) {
    DCB dcb = BaseDcb();
    dcb.Flags |= row.flags;
    const TtySettings s = Map(dcb);
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << row.flags);
    EXPECT_EQ((s.cflag & CRTSCTS) != 0, row.crtscts);
    EXPECT_EQ((s.iflag & IXON) != 0, row.ixon);
    EXPECT_EQ((s.iflag & IXOFF) != 0, row.ixoff);
    EXPECT_EQ(s.raiseDtr, row.dtr);
    EXPECT_EQ(s.raiseRts, row.rts);
  }
}

TEST(TermiosMapping, FlowCharactersAndReceiveOptions) {
  DCB dcb = BaseDcb();
  dcb.Flags |= DcbFlag::fOutX | DcbFlag::fInX | DcbFlag::fTXContinueOnXoff | DcbFlag::fNull |
               DcbFlag::fParity;
  dcb.XonChar = 'Q';
  dcb.XoffChar = static_cast<char>(0xF3);  // above 0x7F: must not sign-extend
  const TtySettings s = Map(dcb);
  EXPECT_EQ(s.startChar, 'Q');
  EXPECT_EQ(s.stopChar, 0xF3);
  EXPECT_TRUE(s.dropNull);
  EXPECT_TRUE(s.reportParity);
  // Parity reporting is decided in Read; the kernel marks errors either way.
  EXPECT_EQ(Map(BaseDcb()).iflag & INPCK, static_cast<tcflag_t>(INPCK));
  EXPECT_FALSE(Map(BaseDcb()).reportParity);
}

TEST(TermiosMapping, ReportsWhatTermiosCannotDo) {
  using namespace DcbFlag;
  namespace U = TtyUnsupported;
  const struct {
    DWORD flags;
    DWORD expected;
  } table[] = {
      {fOutxDsrFlow, U::OutxDsrFlow},
      {fDsrSensitivity, U::DsrSensitivity},
      {fInX, U::TxStopsOnXoff | U::XonXoffLimits},
      {fInX | fTXContinueOnXoff, U::XonXoffLimits},
      {fOutX, 0},  // continuing on XOFF only matters for input flow control
      {fErrorChar | fParity, U::ErrorChar},
      {fErrorChar, 0},  // Windows replaces only when parity is checked
      {Dtr(DTR_CONTROL_HANDSHAKE), U::DtrHandshake | U::XonXoffLimits},
      {Rts(RTS_CONTROL_HANDSHAKE), U::XonXoffLimits},
      {Rts(RTS_CONTROL_TOGGLE), U::RtsToggle},
      {fOutxCtsFlow | fNull | fAbortOnError, 0},
  };
  for (const auto& row : table) {
    DCB dcb = BaseDcb();
    dcb.Flags |= row.flags;
    EXPECT_EQ(Map(dcb).unsupported, row.expected) << "flags 0x" << std::hex << row.flags;
  }
}

TEST(TermiosMapping, RejectsValuesNoLineCanTake) {
  const struct {
    const char* what;
    void (*change)(DCB&);
  } table[] = {
      {"rate 0 (would hang up)", [](DCB& d) { d.BaudRate = 0; }},
      {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"DTR control 3", [](DCB& d) { d.Flags |= Dtr(3); }},
      {"XON equal to XOFF with output flow",
       [](DCB& d) {
         d.Flags |= DcbFlag::fOutX;
         d.XoffChar = d.XonChar;
       }},
      {"XON equal to XOFF with input flow",
       [](DCB& d) {
         d.Flags |= DcbFlag::fInX;
         d.XoffChar = d.XonChar;
       }},
  };
  for (const auto& row : table) {
    DCB dcb = BaseDcb();
    row.change(dcb);
    TtySettings s;
    s.baudRate = 77;
    EXPECT_EQ(MapDcbToTermios(dcb, s), EINVAL) << row.what;
    EXPECT_EQ(s.baudRate, 77u) << row.what << ": settings changed on failure";
  }
  // Equal characters are harmless while software flow control is off.
  DCB dcb = BaseDcb();
  dcb.XonChar = dcb.XoffChar = 0;
  TtySettings s;
  EXPECT_EQ(MapDcbToTermios(dcb, s), 0);
}

}  // namespace
}  // namespace CPort::Platform
