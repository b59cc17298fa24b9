// The system's text for an error code: FormatMessageW, as UTF-8.
#include <string>

#include "CPort/ComErrors.h"
#include "win_comm.h"

namespace CPort {

std::string EComPort::OsErrorText() const {
  if (osErrorCode_ == -1) return {};
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(osErrorCode_), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Unknown error " + std::to_string(osErrorCode_);
  std::wstring wide(text, length);
  ::LocalFree(text);
  // The system ends its texts with a line break.
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace CPort
