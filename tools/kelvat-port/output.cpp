// Writing to the standard descriptors.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "exit_codes.h"

namespace KelvatPort {

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void PrintOut(const std::string& text) {
  if (!WriteAll(STDOUT_FILENO, text)) throw FileError(std::string("cannot write the output: ") + std::strerror(errno));
}

void PrintErr(const std::string& text) {
  // Nowhere left to report a failure to.
  (void)WriteAll(STDERR_FILENO, text);
}

}  // namespace KelvatPort
