#include "CPort/storage/settings_file_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "CPort/ComErrors.h"

namespace CPort::Detail {

namespace {

[[noreturn]] void FailLoad(int error) { throw EComPort(PortErr::LoadFailed, error); }

class ReadDescriptor {
 public:
  explicit ReadDescriptor(int fd) : fd_(fd) {}
  ~ReadDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  ReadDescriptor(const ReadDescriptor&) = delete;
  ReadDescriptor& operator=(const ReadDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int NotRegularFileError(mode_t mode) {
  if (S_ISREG(mode)) return 0;
  return S_ISDIR(mode) ? EISDIR : EINVAL;
}

int CheckSettingsPath(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  return NotRegularFileError(st.st_mode);
}

std::string ReadSettingsFile(const std::string& path) {
  // Opening a device can have effects of its own (a tty gains a controlling
  // process, a tape rewinds), and opening a FIFO blocks: look first.
  struct stat named {};
  if (stat(path.c_str(), &named) != 0) {
    if (errno == ENOENT) return {};
    FailLoad(errno);
  }
  if (const int error = NotRegularFileError(named.st_mode); error != 0) FailLoad(error);

  // The name may have been given to something else since: what counts is
  // what was opened. O_NONBLOCK keeps that open from waiting on a FIFO.
  ReadDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return {};
    FailLoad(errno);
  }
  struct stat opened {};
  if (fstat(fd.Get(), &opened) != 0) FailLoad(errno);
  if (const int error = NotRegularFileError(opened.st_mode); error != 0) FailLoad(error);
  if (static_cast<unsigned long long>(opened.st_size) > kMaxSettingsFileSize) FailLoad(EFBIG);

  // The size is checked again while reading: the file may still grow.
  std::string content;
  content.reserve(static_cast<std::size_t>(opened.st_size));
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      FailLoad(errno);
    }
    if (content.size() + static_cast<std::size_t>(n) > kMaxSettingsFileSize) FailLoad(EFBIG);
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

}  // namespace CPort::Detail
