// Which processes have a device open: a walk over /proc/<pid>/fd, as fuser
// does it, comparing where each descriptor leads with the device's path.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CPort/error_hints_p.h"

namespace CPort::Detail {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

std::string ReadLink(int dirFd, const char* name) {
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(dirFd, name, target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string CommandOf(const std::string& processDir) {
  const int fd = ::open((processDir + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "?";
  char buffer[64];
  ssize_t n;
  do n = ::read(fd, buffer, sizeof buffer);
  while (n < 0 && errno == EINTR);
  ::close(fd);
  std::string command(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!command.empty() && command.back() == '\n') command.pop_back();
  return command.empty() ? "?" : command;
}

// Whether one of the process's descriptors leads to `target`. False with
// `unreadable` set when the process's descriptors may not be looked at.
bool HoldsTarget(const std::string& processDir, const std::string& target, bool& unreadable) {
  const DirPtr fds(::opendir((processDir + "/fd").c_str()));
  if (!fds) {
    // ENOENT: the process ended meanwhile; anything else: not ours to see.
    unreadable = errno != ENOENT;
    return false;
  }
  const int dirFd = ::dirfd(fds.get());
  while (const dirent* entry = ::readdir(fds.get()))
    if (IsNumber(entry->d_name) && ReadLink(dirFd, entry->d_name) == target) return true;
  return false;
}

}  // namespace

std::vector<Holder> FindHolders(const std::string& path, bool& incomplete, const std::string& procRoot) {
  incomplete = false;
  std::vector<Holder> holders;
  // The links in /proc name the file itself, not the symbolic links that led
  // to it (/dev/serial/by-id/... shows as /dev/ttyUSB0).
  std::string target = path;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
  }
  const DirPtr proc(::opendir(procRoot.c_str()));
  if (!proc) {
    incomplete = true;
    return holders;
  }
  while (const dirent* entry = ::readdir(proc.get())) {
    if (!IsNumber(entry->d_name)) continue;
    const std::string processDir = procRoot + "/" + entry->d_name;
    bool unreadable = false;
    if (HoldsTarget(processDir, target, unreadable))
      holders.push_back({std::atoi(entry->d_name), CommandOf(processDir)});
    incomplete = incomplete || unreadable;
  }
  return holders;
}

}  // namespace CPort::Detail
