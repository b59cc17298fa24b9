#include <fcntl.h>
#include <signal.h>

#include "process_setup.h"

namespace KelvatPort {

void PrepareProcess() { ::signal(SIGPIPE, SIG_IGN); }

int OpenForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

bool RegistryStoreIsAFile() { return true; }

}  // namespace KelvatPort
