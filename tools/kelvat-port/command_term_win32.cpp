// The terminal puts the console in raw mode and waits on it and the port
// together with poll(); it is part of the POSIX build only for now.
#include "commands.h"
#include "exit_codes.h"

namespace KelvatPort {

int RunTerm(const Args&) {
  throw UsageError("the term command is not available in the Windows build; use 'send', or the POSIX build");
}

}  // namespace KelvatPort
