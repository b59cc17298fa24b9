// The exit status of kelvat-port, and the two errors of the tool itself.
#pragma once

#include <stdexcept>
#include <string>

namespace KelvatPort {

enum ExitCode : int {
  kExitOk = 0,          // done (monitor: ended by Ctrl+C or a stop signal)
  kExitPortFailed = 1,  // the port could not be opened or used, or the device went away
  kExitUsage = 2,       // the command line is wrong
  kExitFileFailed = 3,  // a file or settings store could not be read or written
};

// The text shown under every command's help.
extern const char* const kExitStatusHelp;

// A wrong command line: unknown command or option, missing or malformed
// value. The message says what is wrong; the caller adds where to get help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file or store the command was given could not be used.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace KelvatPort
