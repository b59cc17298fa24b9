// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// The directory and the last part of a path, as text (no file system access).
#pragma once

#include <string>

namespace CPort::Detail {

// "/dev/pts/3" -> "/dev/pts"; "/x" and "x" -> "/".
inline std::string ParentPath(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// "/dev/pts/3" -> "3".
inline std::string LastPathPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace CPort::Detail
