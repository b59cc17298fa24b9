// Writing the received text to a file.
#pragma once

#include <string>

namespace MainUnit {

// The runtime's text for a failed file operation with errno `errorCode`:
// "File not found", "Invalid filename", "Too many open files", "File access
// denied", "Disk full", or "I/O error <code>".
std::string IoErrorText(int errorCode);

// Creates (or truncates) `fileName` and writes `bytes` followed by CR LF.
// Raises EInOutError at the first failing step (create, write, close); a
// file created before a failed write stays with what was written.
void ExportText(const std::string& fileName, const std::string& bytes);

}  // namespace MainUnit
