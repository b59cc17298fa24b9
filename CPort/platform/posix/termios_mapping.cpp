#include "termios_mapping.h"

#include <termios.h>

#include <cerrno>
#include <iterator>

namespace CPort::Platform {

namespace {

struct RateCode {
  DWORD rate;
  std::uint32_t code;
};

// Every rate <termios.h> names on Linux. B134 is 134.5 bit/s; a DCB can only
// say 134, which is what every Windows driver takes for it as well.
constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::uint32_t SizeBits(BYTE byteSize) {
  switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

std::uint32_t ParityBits(BYTE parity) {
  switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    // Stick parity: with CMSPAR, PARODD selects a parity bit that is always 1.
    case MARKPARITY: return PARENB | CMSPAR | PARODD;
    case SPACEPARITY: return PARENB | CMSPAR;
    default: return 0;
  }
}

}  // namespace

std::uint32_t StandardRateCode(DWORD baudRate) {
  for (const RateCode& entry : kRates) {
    if (entry.rate == baudRate) return entry.code;
  }
  return 0;
}

int MapDcbToTermios(const DCB& dcb, TtySettings& settings) {
  using namespace DcbFlag;
  const DWORD dtr = dcb.DtrControl();
  const DWORD rts = dcb.RtsControl();
  const bool outX = (dcb.Flags & fOutX) != 0;
  const bool inX = (dcb.Flags & fInX) != 0;
  // Rate 0 would be B0, which hangs the line up instead of setting a speed.
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || dtr > DTR_CONTROL_HANDSHAKE) {
    return EINVAL;
  }
  // With equal characters every XON would be taken for an XOFF and the
  // output would stay stopped for good.
  if ((outX || inX) && dcb.XonChar == dcb.XoffChar) return EINVAL;

  TtySettings s;
  // Raw binary input: no character translation, no signals, no break
  // flushes. INPCK with PARMRK makes the line discipline mark framing and
  // parity errors (and breaks, with IGNBRK/BRKINT off) in the byte stream,
  // where Read turns them into line errors. INPCK stays on without fParity:
  // the kernel checks framing only under INPCK, and Windows reports framing
  // errors whatever fParity says; Read drops parity errors then.
  s.iflag = INPCK | PARMRK;
  if (outX) s.iflag |= IXON;
  if (inX) s.iflag |= IXOFF;
  s.oflag = 0;
  s.lflag = 0;

  s.baudRate = dcb.BaudRate;
  const std::uint32_t rateCode = StandardRateCode(dcb.BaudRate);
  s.customRate = rateCode == 0;
  // HUPCL drops DTR and RTS when the port is closed, as Windows does.
  s.cflag = CREAD | CLOCAL | HUPCL | rateCode | SizeBits(dcb.ByteSize) | ParityBits(dcb.Parity);
  // 1.5 stop bits exist only for 5-bit words (SetCommState refuses them with
  // more); UARTs produce them from CSTOPB at that size.
  if (dcb.StopBits != ONESTOPBIT) s.cflag |= CSTOPB;
  // Linux has one switch for both directions of hardware flow control.
  if ((dcb.Flags & fOutxCtsFlow) != 0 || rts == RTS_CONTROL_HANDSHAKE) s.cflag |= CRTSCTS;

  s.startChar = static_cast<std::uint8_t>(dcb.XonChar);
  s.stopChar = static_cast<std::uint8_t>(dcb.XoffChar);
  // VMIN 1 matters on a non-blocking descriptor too: with VMIN 0 and VTIME 0
  // an empty read returns 0 (end of file) instead of EAGAIN.
  s.minChars = 1;
  s.timeTenths = 0;

  // A handshake the kernel cannot run still needs the line up for the peer.
  s.raiseDtr = dtr != DTR_CONTROL_DISABLE;
  s.raiseRts = rts != RTS_CONTROL_DISABLE;
  s.dropNull = (dcb.Flags & fNull) != 0;
  s.reportParity = (dcb.Flags & fParity) != 0;

  if ((dcb.Flags & fOutxDsrFlow) != 0) s.unsupported |= TtyUnsupported::OutxDsrFlow;
  if ((dcb.Flags & fDsrSensitivity) != 0) s.unsupported |= TtyUnsupported::DsrSensitivity;
  if (inX && (dcb.Flags & fTXContinueOnXoff) == 0) s.unsupported |= TtyUnsupported::TxStopsOnXoff;
  if ((dcb.Flags & fErrorChar) != 0 && s.reportParity) s.unsupported |= TtyUnsupported::ErrorChar;
  if (dtr == DTR_CONTROL_HANDSHAKE) s.unsupported |= TtyUnsupported::DtrHandshake;
  if (rts == RTS_CONTROL_TOGGLE) s.unsupported |= TtyUnsupported::RtsToggle;
  if (inX || rts == RTS_CONTROL_HANDSHAKE || dtr == DTR_CONTROL_HANDSHAKE) {
    s.unsupported |= TtyUnsupported::XonXoffLimits;
  }
  settings = s;
  return 0;
}

}  // namespace CPort::Platform
