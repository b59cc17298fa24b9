#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "process_setup.h"

namespace KelvatPort {

// Windows has no SIGPIPE; its C runtime would turn "\n" into "\r\n" on the
// standard streams unless they are put in binary mode.
void PrepareProcess() {
  ::_setmode(::_fileno(stdin), _O_BINARY);
  ::_setmode(::_fileno(stdout), _O_BINARY);
}

int OpenForReading(const std::string& path) { return ::_open(path.c_str(), _O_RDONLY | _O_BINARY); }

bool RegistryStoreIsAFile() { return false; }

}  // namespace KelvatPort
