// Program and library locations on Linux (see module_paths_p.h).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "module_paths_p.h"

namespace CPort::I18n {

namespace {

std::string DirectoryPart(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  const std::string directory = DirectoryPart(path);
  return directory.empty() ? "." : directory;
}

std::string LibraryDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
  return DirectoryPart(info.dli_fname);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// On Linux the environment is the only setting.
std::string SystemLanguage() { return {}; }

}  // namespace CPort::I18n
