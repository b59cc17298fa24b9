// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Translation of a DCB into termios settings, kept free of file descriptors
// so that every rule can be checked without a device. The flag words hold the
// values of <termios.h> (the kernel's termios2 uses the same bits);
// termios2_linux.cpp hands them to the driver. docs/tty-device.md lists what
// each DCB member becomes and what termios cannot express.
#pragma once

#include <cstdint>

#include "win_comm.h"

namespace CPort::Platform {

// DCB features the kernel's tty layer cannot provide. SetCommState still
// succeeds when they are asked for (a terminal program expects the port to
// open); the settings carry them so that callers and tests can see what was
// not honoured.
namespace TtyUnsupported {
constexpr DWORD OutxDsrFlow = 0x0001;     // output held while DSR is low
constexpr DWORD DsrSensitivity = 0x0002;  // input ignored while DSR is low
constexpr DWORD TxStopsOnXoff = 0x0004;   // fInX with fTXContinueOnXoff off
constexpr DWORD ErrorChar = 0x0008;       // parity-error bytes replaced by ErrorChar
constexpr DWORD DtrHandshake = 0x0010;    // DTR as input flow control
constexpr DWORD RtsToggle = 0x0020;       // RTS raised only while sending
constexpr DWORD XonXoffLimits = 0x0040;   // input flow thresholds are the kernel's own
}  // namespace TtyUnsupported

struct TtySettings {
  std::uint32_t iflag = 0;
  std::uint32_t oflag = 0;
  std::uint32_t cflag = 0;  // holds the Bxxx code of a standard rate
  std::uint32_t lflag = 0;
  std::uint32_t baudRate = 0;  // bits per second, input and output alike
  bool customRate = false;     // no Bxxx code exists: the driver needs BOTHER
  std::uint8_t startChar = 0;  // VSTART
  std::uint8_t stopChar = 0;   // VSTOP
  std::uint8_t minChars = 1;   // VMIN
  std::uint8_t timeTenths = 0; // VTIME
  bool raiseDtr = false;       // line states to set after the termios call
  bool raiseRts = false;
  bool dropNull = false;       // fNull: Read discards received zero bytes
  bool reportParity = false;   // fParity: Read reports parity errors
  DWORD unsupported = 0;       // TtyUnsupported bits
};

// The Bxxx code of a rate termios names, or 0 when it has none.
std::uint32_t StandardRateCode(DWORD baudRate);

// Fills `settings` from `dcb`. Returns 0, or EINVAL for values no line can
// take: BaudRate 0, ByteSize outside 5..8, Parity above SPACEPARITY, StopBits
// above TWOSTOPBITS, DtrControl/RtsControl out of range, or equal XON and XOFF
// characters while software flow control is on.
int MapDcbToTermios(const DCB& dcb, TtySettings& settings);

}  // namespace CPort::Platform
