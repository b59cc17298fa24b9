// Crash-safe replacement of a file's content on Windows (see
// atomic_file_p.h): the new content goes to a temporary file beside the
// target, is flushed to the disk and then takes the target's place with
// ReplaceFileW (which keeps the target's attributes and security), or with
// MoveFileExW when there is no target yet.
#include <algorithm>
#include <atomic>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/storage/atomic_file_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort::Detail {

namespace {

[[noreturn]] void Fail(DWORD error) { throw EComPort(PortErr::StoreFailed, static_cast<int>(error)); }

std::wstring TemporaryPath(const std::wstring& target) {
  static std::atomic<unsigned> counter{0};
  return target + L".tmp-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

void WriteTemporary(const std::wstring& path, std::string_view content) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail(::GetLastError());
  DWORD error = ERROR_SUCCESS;
  std::size_t done = 0;
  while (done < content.size() && error == ERROR_SUCCESS) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr))
      error = ::GetLastError();
    else
      done += written;
  }
  if (error == ERROR_SUCCESS && !::FlushFileBuffers(file)) error = ::GetLastError();
  ::CloseHandle(file);
  if (error != ERROR_SUCCESS) {
    ::DeleteFileW(path.c_str());
    Fail(error);
  }
}

}  // namespace

void ReplaceFileContent(const std::string& path, std::string_view content) {
  const std::wstring target = Platform::WideFromUtf8(path);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  // A read-only file is what its owner asked for.
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) Fail(ERROR_ACCESS_DENIED);
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) Fail(ERROR_DIRECTORY);
  const std::wstring temporary = TemporaryPath(target);
  WriteTemporary(temporary, content);
  BOOL replaced = FALSE;
  if (exists) replaced = ::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                       nullptr, nullptr);
  // No target yet, or one that ReplaceFileW cannot take (another volume,
  // a file system without its support): a plain replacing move.
  if (!replaced)
    replaced = ::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!replaced) {
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temporary.c_str());
    Fail(error);
  }
}

}  // namespace CPort::Detail
