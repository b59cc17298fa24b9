#include "CPort/storage/atomic_file_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "CPort/ComErrors.h"

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

// Creates a temporary file that no other writer can have open: the name
// carries the process id and a counter, and O_EXCL refuses an existing one.
int CreateTemporary(const std::string& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) Fail(errno);
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
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(errno);
  const int rc = fsync(fd);
  const int error = errno;
  close(fd);
  if (rc != 0 && error != EINVAL) Fail(error);
}

}  // namespace

void ReplaceFileContent(const std::string& path, std::string_view content) {
  const std::string target = ResolveTarget(path);
  std::string tempPath;
  const int fd = CreateTemporary(target, tempPath);

  // The first failure is the one reported; the descriptor is closed and the
  // temporary file removed whatever failed.
  int error = 0;
  struct stat old {};
  if (stat(target.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0) error = errno;
  if (error == 0) error = WriteAll(fd, content);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(tempPath.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(tempPath.c_str());
    Fail(error);
  }
  SyncDirectory(DirectoryOf(target));
}

}  // namespace CPort::Detail
