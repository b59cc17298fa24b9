// What the tool needs of the system apart from the port library: one file
// per system (process_setup_posix.cpp, process_setup_win32.cpp).
#pragma once

#include <string>

namespace KelvatPort {

// Once at start: a reader that went away shows up as a write error, not as
// the process's death; standard input and output carry bytes unchanged.
void PrepareProcess();

// Opens a file for reading its bytes as they are; -1 with errno set on
// failure.
int OpenForReading(const std::string& path);

// Whether the library's registry store is a file (SQLite, on POSIX) rather
// than the system's registry (Windows).
bool RegistryStoreIsAFile();

}  // namespace KelvatPort
