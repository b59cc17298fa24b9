// Reading a whole file with the Windows calls (see whole_file_p.h).
#include "CPort/ComErrors.h"
#include "CPort/storage/whole_file_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort::Detail {

std::string ReadWholeFile(const std::string& path) {
  HANDLE file = ::CreateFileW(Platform::WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return {};
    throw EComPort(PortErr::LoadFailed, static_cast<int>(error));
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD error = ::GetLastError();
      ::CloseHandle(file);
      throw EComPort(PortErr::LoadFailed, static_cast<int>(error));
    }
    if (n == 0) break;
    content.append(buffer, n);
  }
  ::CloseHandle(file);
  return content;
}

}  // namespace CPort::Detail
