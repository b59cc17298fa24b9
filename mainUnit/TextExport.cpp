#include "mainUnit/TextExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "mainUnit/WindowErrors.h"

namespace MainUnit {
namespace {

[[noreturn]] void Fail(int errorCode) { throw EInOutError(errorCode, IoErrorText(errorCode)); }

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      Fail(error);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string IoErrorText(int errorCode) {
  // The runtime's texts are numbered by the old DOS codes; map errno onto
  // them so that each text means what it says.
  switch (errorCode) {
    case ENOENT:
    case ENOTDIR:
      return "File not found";
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
      return "Invalid filename";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return "File access denied";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "Disk full";
    default:
      return "I/O error " + std::to_string(errorCode);
  }
}

void ExportText(const std::string& fileName, const std::string& bytes) {
  int fd;
  do {
    fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) Fail(errno);
  WriteAll(fd, bytes.data(), bytes.size());
  WriteAll(fd, "\r\n", 2);
  if (::close(fd) != 0 && errno != EINTR) Fail(errno);
}

}  // namespace MainUnit
