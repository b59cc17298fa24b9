// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The kernel's termios2 interface (TCGETS2/TCSETS2), the only way to set a
// rate that has no Bxxx code. Its header <asm/termbits.h> clashes with
// <termios.h>, so it is included by termios2_linux.cpp alone and nothing of
// it shows here.
#pragma once

#include <cstdint>

#include "termios_mapping.h"

namespace CPort::Platform {

// Applies `settings` with TCSETS2 at once. The ioctl's own result is the
// answer: glibc's tcsetattr re-reads the settings and reports EINVAL when a
// driver (a pty) dropped bits it cannot do, although the call was taken.
// Returns 0 or the errno.
int ApplyTermios2(int fd, const TtySettings& settings);

// What the driver keeps, read with TCGETS2.
struct Termios2State {
  std::uint32_t iflag = 0;
  std::uint32_t oflag = 0;
  std::uint32_t cflag = 0;  // with the rate bits, BOTHER included
  std::uint32_t lflag = 0;
  std::uint32_t inputRate = 0;
  std::uint32_t outputRate = 0;
  bool usesBother = false;  // the rate is given in numbers, not as a Bxxx code
  std::uint8_t startChar = 0;
  std::uint8_t stopChar = 0;
  std::uint8_t minChars = 0;
  std::uint8_t timeTenths = 0;
};
int ReadTermios2(int fd, Termios2State& state);

}  // namespace CPort::Platform
