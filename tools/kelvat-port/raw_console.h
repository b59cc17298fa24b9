// The console in raw mode for `term`: every key reaches the program as a
// byte (no line editing, no echo, Ctrl+C and Ctrl+Z are plain bytes) and the
// program's output goes out unchanged (no LF to CR LF). The settings found
// are put back when this object ends, on every way out that unwinds:
// a normal end, an error, a stop signal (taken by ConsoleLoop's signalfd)
// and a lost device.
#pragma once

#include <termios.h>

namespace KelvatPort {

class RawConsole {
 public:
  // Does nothing when `fd` is not a terminal. Raises std::system_error when
  // a terminal refuses the raw settings.
  explicit RawConsole(int fd);
  ~RawConsole() { Restore(); }
  RawConsole(const RawConsole&) = delete;
  RawConsole& operator=(const RawConsole&) = delete;

  bool Active() const { return active_; }
  // Puts the settings back now (once).
  void Restore();

 private:
  int fd_;
  bool active_ = false;
  termios saved_{};
};

}  // namespace KelvatPort
