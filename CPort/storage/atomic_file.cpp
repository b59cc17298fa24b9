#include "CPort/storage/atomic_file_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "CPort/ComErrors.h"
#include "CPort/storage/settings_file_p.h"

namespace CPort::Detail {

namespace {

[[noreturn]] void Fail(int error) { throw EComPort(PortErr::StoreFailed, error); }

// The file to replace: a symbolic link is followed so that the link stays
// and its target gets the new content.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // a dangling link is replaced by the file
  std::string target(resolved);
  std::free(resolved);
  return target;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files are named "<target>.tmp-<pid>-<counter>", so each save
// knows which leftovers are its own business.
std::string TemporaryPrefix(const std::string& target) { return BaseNameOf(target) + ".tmp-"; }

bool IsTemporaryName(std::string_view name, std::string_view prefix) {
  if (name.substr(0, prefix.size()) != prefix) return false;
  name.remove_prefix(prefix.size());
  const auto dash = name.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (i != dash && (name[i] < '0' || name[i] > '9')) return false;
  return true;
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the errno of a failed close (0 when it worked).
  int Close() {
    const int rc = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A save writes nothing into a file it may not write. Root passes every
// access check, so a file without any write bit is taken as read-only for
// root as well.
void RefuseReadOnly(const std::string& target, const struct stat& st) {
  if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) Fail(errno);
  if ((st.st_mode & 0222) == 0) Fail(EACCES);
}

// Removes the temporary files that saves of `target` killed part-way left
// behind. A save under way holds a lock on its temporary file, so only files
// whose writer is gone can be locked here. Nothing here is allowed to fail
// the save: a leftover that cannot be removed now is tried again next time.
void RemoveAbandonedTemporaries(const std::string& target) {
  DIR* dir = opendir(DirectoryOf(target).c_str());
  if (dir == nullptr) return;
  const int dirFd = dirfd(dir);
  const std::string prefix = TemporaryPrefix(target);
  while (const dirent* entry = readdir(dir)) {
    if (!IsTemporaryName(entry->d_name, prefix)) continue;
    Descriptor fd(openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {}, named {};
    if (fd.Get() < 0 || fstat(fd.Get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;  // its save is still running
    // Remove only the file that was locked, not one that took its name since.
    if (fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino)
      unlinkat(dirFd, entry->d_name, 0);
  }
  closedir(dir);
}

// Creates and locks a temporary file that no other writer can have open: the
// name carries the process id and a counter, and O_EXCL refuses an existing
// one. A file that another save's clean-up removed between its creation and
// its lock is given up for a new one.
Descriptor CreateTemporary(const std::string& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    Descriptor fd(open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.Get() < 0) {
      if (errno != EEXIST) Fail(errno);
      continue;
    }
    // A file system without locks cannot lock for the clean-up either, which
    // then leaves every temporary file alone.
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) continue;  // another save's clean-up has it
      return fd;
    }
    struct stat st {};
    if (fstat(fd.Get(), &st) == 0 && st.st_nlink > 0) return fd;
  }
  Fail(EEXIST);
}

// Returns 0 or the errno of the failed write.
int WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// Makes the rename itself durable. Some file systems cannot sync a directory
// and say so with EINVAL; the content is in place all the same.
void SyncDirectory(const std::string& dir) {
  Descriptor fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Get() < 0) Fail(errno);
  const int rc = fsync(fd.Get());
  const int error = errno;
  if (rc != 0 && error != EINVAL) Fail(error);
}

// The fallback for a file whose owner or group a new file cannot take:
// truncate and write the file itself. The name may have been given to a
// FIFO or a device since it was looked at: the open does not wait, and
// nothing is truncated before the descriptor is known to be a regular file.
void RewriteInPlace(const std::string& target, std::string_view content) {
  Descriptor fd(open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) Fail(errno);
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) Fail(errno);
  if (const int notRegular = NotRegularFileError(st.st_mode); notRegular != 0) Fail(notRegular);
  if (ftruncate(fd.Get(), 0) != 0) Fail(errno);
  int error = WriteAll(fd.Get(), content);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  const int closeError = fd.Close();
  if (error == 0) error = closeError;
  if (error != 0) Fail(error);
}

// Gives the new file the old one's owner, group and permission bits. The
// owner comes first: changing it clears the set-id bits that the mode then
// restores. Returns EPERM when only the caller's own ids are possible.
int KeepOwnerAndMode(int fd, const struct stat& old) {
  if ((old.st_uid != geteuid() || old.st_gid != getegid()) && fchown(fd, old.st_uid, old.st_gid) != 0) return errno;
  if (fchmod(fd, old.st_mode & 07777) != 0) return errno;
  return 0;
}

}  // namespace

void ReplaceFileContent(const std::string& path, std::string_view content) {
  const std::string target = ResolveTarget(path);
  struct stat old {};
  std::optional<struct stat> existing;
  if (stat(target.c_str(), &old) == 0) {
    // Renaming over a device node would replace the node itself.
    if (const int error = NotRegularFileError(old.st_mode); error != 0) Fail(error);
    existing = old;
    RefuseReadOnly(target, old);
  } else if (errno != ENOENT) {
    Fail(errno);
  }

  RemoveAbandonedTemporaries(target);
  std::string tempPath;
  Descriptor fd = CreateTemporary(target, tempPath);

  // The first failure is the one reported; the temporary file is removed
  // whatever failed. The lock is held until the rename is done.
  int error = existing ? KeepOwnerAndMode(fd.Get(), *existing) : 0;
  if (error == EPERM) {
    fd.Reset();
    unlink(tempPath.c_str());
    RewriteInPlace(target, content);
    return;
  }
  if (error == 0) error = WriteAll(fd.Get(), content);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (error == 0 && rename(tempPath.c_str(), target.c_str()) != 0) error = errno;
  const int closeError = fd.Close();
  if (error != 0) {
    unlink(tempPath.c_str());
    Fail(error);
  }
  if (closeError != 0) Fail(closeError);
  SyncDirectory(DirectoryOf(target));
}

}  // namespace CPort::Detail
