#include "exit_codes.h"

namespace KelvatPort {

const char* const kExitStatusHelp =
    "Exit status:\n"
    "  0  done (monitor: ended by Ctrl+C or a stop signal)\n"
    "  1  the port failed: it could not be opened or configured, a transfer\n"
    "     failed or did not finish in time, or the device went away\n"
    "  2  the command line is wrong\n"
    "  3  a file or settings store could not be read or written\n";

}  // namespace KelvatPort
