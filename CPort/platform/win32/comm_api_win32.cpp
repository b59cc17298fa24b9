// The one call of the platform layer that is not the system's own: opening
// a port by the name the port object holds (see win_comm.h).
#include <string>

#include "win_comm.h"

namespace CPort::Platform {

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "COM" and a number, in any letter case: the names Windows gives its
// serial ports.
bool IsComName(const std::string& name) {
  if (name.size() < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return false;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  if (fileName == nullptr || *fileName == '\0') {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string name(fileName);
  // Network ports are part of the POSIX side only.
  if (StartsWith(name, "rfc2217://") || StartsWith(name, "socket://")) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (IsComName(name)) name = "\\\\.\\" + name;
  return ::CreateFileA(name.c_str(), desiredAccess, shareMode, static_cast<SECURITY_ATTRIBUTES*>(securityAttributes),
                       creationDisposition, flagsAndAttributes, templateFile);
}

}  // namespace CPort::Platform
