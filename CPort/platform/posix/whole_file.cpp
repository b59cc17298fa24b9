// Reading a whole file with the POSIX calls (see whole_file_p.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "CPort/ComErrors.h"
#include "CPort/storage/whole_file_p.h"

namespace CPort::Detail {

std::string ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throw EComPort(PortErr::LoadFailed, errno);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      throw EComPort(PortErr::LoadFailed, error);
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return content;
}

}  // namespace CPort::Detail
