#include "raw_console.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace KelvatPort {

RawConsole::RawConsole(int fd) : fd_(fd) {
  if (!::isatty(fd) || ::tcgetattr(fd, &saved_) != 0) return;
  termios raw = saved_;
  raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &raw) != 0)
    throw std::system_error(errno, std::generic_category(), "cannot put the console in raw mode");
  active_ = true;
}

void RawConsole::Restore() {
  if (!active_) return;
  active_ = false;
  // TCSANOW: a console that no longer takes output must not hold the end up.
  ::tcsetattr(fd_, TCSANOW, &saved_);
}

}  // namespace KelvatPort
