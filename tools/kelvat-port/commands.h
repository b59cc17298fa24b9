// The commands of kelvat-port. Each takes the arguments after its name,
// returns the exit status (exit_codes.h) and raises UsageError, FileError or
// the library's errors, which main() reports.
#pragma once

#include <string>
#include <vector>

namespace KelvatPort {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* summary;  // one line for the overview
  int (*run)(const Args& args);
};

int RunList(const Args& args);
int RunMonitor(const Args& args);
int RunSend(const Args& args);
int RunSettings(const Args& args);
int RunTerm(const Args& args);

// Writes all of `text` to a descriptor; false (errno set) when it cannot.
bool WriteAll(int fd, const std::string& text);
// Standard output; raises FileError when it cannot be written.
void PrintOut(const std::string& text);
// Standard error, where notes and errors go.
void PrintErr(const std::string& text);

}  // namespace KelvatPort
