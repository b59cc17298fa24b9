// The monitor's console loop waits on the terminal and the port together
// with poll(); it is part of the POSIX build only for now.
#include "commands.h"
#include "exit_codes.h"

namespace KelvatPort {

int RunMonitor(const Args&) {
  throw UsageError("the monitor command is not available in the Windows build; use 'send', or the POSIX build");
}

}  // namespace KelvatPort
