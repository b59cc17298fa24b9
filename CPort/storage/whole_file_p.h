// ---------------------------------------------------------------------------
// Not API. Private to the storage library.
// ---------------------------------------------------------------------------
#pragma once

#include <string>

namespace CPort::Detail {

// The whole file, or an empty text when it does not exist yet. Raises
// EComPort code 17 with the system's error code when it cannot be read.
// Each system's side has its own (platform/<side>/whole_file*.cpp).
std::string ReadWholeFile(const std::string& path);

}  // namespace CPort::Detail
