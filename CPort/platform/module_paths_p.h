// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Where the program and the library are, and the language the system picks
// for the user apart from the environment: what the catalog lookup needs to
// know of the system. Paths use "/" between parts on every system.
#pragma once

#include <string>

namespace CPort::I18n {

// The directory of the running program ("." when it cannot be told).
std::string ExecutableDirectory();
// The directory of the file that holds this library's code (a shared
// library, or the program itself); empty when it cannot be told.
std::string LibraryDirectory();
bool IsDirectory(const std::string& path);
// The user's language as a locale name ("de_DE"), where the system has a
// setting for it besides the environment variables; empty otherwise.
std::string SystemLanguage();

}  // namespace CPort::I18n
