// The per-thread last error of the platform calls.
#include "win_comm.h"

namespace CPort::Platform {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

}  // namespace CPort::Platform
