// What a settings store accepts as its file, on Windows (see
// settings_file_p.h): a file on a disk or a name where nothing exists yet.
// Directories and devices (a console, a pipe, a COM port) are refused, and
// a file larger than the limit is not read. Error codes are the system's.
#include <algorithm>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/storage/settings_file_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort::Detail {

namespace {

bool IsNothingThere(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

[[noreturn]] void FailLoad(DWORD error) { throw EComPort(PortErr::LoadFailed, static_cast<int>(error)); }

}  // namespace

int CheckSettingsPath(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Platform::WideFromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return IsNothingThere(error) ? 0 : static_cast<int>(error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_DIRECTORY;
  return 0;
}

std::string ReadSettingsFile(const std::string& path) {
  if (const int error = CheckSettingsPath(path); error != 0) FailLoad(static_cast<DWORD>(error));
  FileHandle file(::CreateFileW(Platform::WideFromUtf8(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (IsNothingThere(error)) return {};
    FailLoad(error);
  }
  // A device name ("CON", "NUL", "\\.\COM3") opens as well as a file does.
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK) FailLoad(ERROR_BAD_FILE_TYPE);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) FailLoad(::GetLastError());
  if (static_cast<unsigned long long>(size.QuadPart) > kMaxSettingsFileSize) FailLoad(ERROR_FILE_TOO_LARGE);
  std::string content;
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr)) FailLoad(::GetLastError());
    if (n == 0) break;
    // The file may grow while it is read.
    if (content.size() + n > kMaxSettingsFileSize) FailLoad(ERROR_FILE_TOO_LARGE);
    content.append(buffer, n);
  }
  return content;
}

}  // namespace CPort::Detail
