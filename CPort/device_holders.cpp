// Which processes have a device open: a walk over /proc/<pid>/fd, as fuser
// does it, comparing where each descriptor leads with the device's path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
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

// The processes with a lock on the file `st` describes, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF": the pid, then the file
// system's device in hex and the inode).
std::vector<int> LockingPids(const struct stat& st, const std::string& procRoot) {
  std::vector<int> pids;
  std::ifstream locks(procRoot + "/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, mode, access, pid, file;
    if (!(fields >> id >> kind >> mode >> access)) continue;
    // "->" marks a process waiting for the lock, which holds nothing.
    if (kind == "->") continue;
    if (!(fields >> pid >> file)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino)
      pids.push_back(std::atoi(pid.c_str()));
  }
  return pids;
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
  // A device is refused as busy because one of its holders locked it; the
  // others (a program that keeps a pty open for its own side, say) are not
  // in the way. Name the lockers where there are any.
  struct stat st {};
  if (holders.size() > 1 && ::stat(target.c_str(), &st) == 0) {
    const std::vector<int> lockers = LockingPids(st, procRoot);
    std::vector<Holder> locking;
    for (const Holder& holder : holders)
      if (std::find(lockers.begin(), lockers.end(), holder.pid) != lockers.end()) locking.push_back(holder);
    if (!locking.empty()) holders = std::move(locking);
  }
  return holders;
}

}  // namespace CPort::Detail
