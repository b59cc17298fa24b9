// Program and library locations and the user's UI language on Windows (see
// module_paths_p.h).
#include <algorithm>

#include "module_paths_p.h"
#include "win_comm.h"

namespace CPort::I18n {

namespace {

std::string Utf8(const wchar_t* wide, int length) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  const int count = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(count > 0 ? count : 0), L'\0');
  if (count > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), count);
  return out;
}

// The directory of a module's file, with "/" between the parts.
std::string ModuleDirectory(HMODULE module) {
  wchar_t path[32768];
  const DWORD n = ::GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
  if (n == 0 || n >= std::size(path)) return {};
  std::string s = Utf8(path, static_cast<int>(n));
  std::replace(s.begin(), s.end(), '\\', '/');
  const auto slash = s.rfind('/');
  return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

}  // namespace

std::string ExecutableDirectory() {
  const std::string directory = ModuleDirectory(nullptr);
  return directory.empty() ? "." : directory;
}

std::string LibraryDirectory() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&LibraryDirectory), &self))
    return {};
  return ModuleDirectory(self);
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The user's UI language ("de-DE" becomes "de_DE", as the catalogs are named).
std::string SystemLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH];
  if (::LCIDToLocaleName(MAKELCID(::GetUserDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) <= 0)
    return {};
  std::string language = Utf8(name, -1);
  if (!language.empty() && language.back() == '\0') language.pop_back();
  std::replace(language.begin(), language.end(), '-', '_');
  return language;
}

}  // namespace CPort::I18n
