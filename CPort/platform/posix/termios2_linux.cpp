#include "termios2_linux_p.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace CPort::Platform {

int ApplyTermios2(int fd, const TtySettings& settings) {
  termios2 t{};
  // Start from the driver's settings so that the line discipline and the
  // control characters this layer does not use stay as they are.
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_iflag = settings.iflag;
  t.c_oflag = settings.oflag;
  t.c_lflag = settings.lflag;
  t.c_cflag = settings.cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD);
  // A standard rate keeps its Bxxx code, so tools that read the rate through
  // termios (stty, cfgetospeed) see it; any other rate goes by number.
  t.c_cflag |= settings.customRate ? BOTHER : (settings.cflag & CBAUD);
  // CIBAUD stays 0: the input rate follows the output rate.
  t.c_ispeed = settings.baudRate;
  t.c_ospeed = settings.baudRate;
  t.c_cc[VSTART] = settings.startChar;
  t.c_cc[VSTOP] = settings.stopChar;
  t.c_cc[VMIN] = settings.minChars;
  t.c_cc[VTIME] = settings.timeTenths;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int ReadTermios2(int fd, Termios2State& state) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  state.iflag = t.c_iflag;
  state.oflag = t.c_oflag;
  state.cflag = t.c_cflag;
  state.lflag = t.c_lflag;
  state.inputRate = t.c_ispeed;
  state.outputRate = t.c_ospeed;
  state.usesBother = (t.c_cflag & CBAUD) == BOTHER;
  state.startChar = t.c_cc[VSTART];
  state.stopChar = t.c_cc[VSTOP];
  state.minChars = t.c_cc[VMIN];
  state.timeTenths = t.c_cc[VTIME];
  return 0;
}

}  // namespace CPort::Platform
