// ---------------------------------------------------------------------------
// Not API. Private to the port library and its platform layer.
// ---------------------------------------------------------------------------
#pragma once

#include "win_comm.h"

namespace CPort {

// The error codes with which calls on a device that went away fail (an
// adapter pulled out, a handle already released, the far end hung up).
// The port and its event thread stop on them.
inline bool IsDeviceGoneError(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

}  // namespace CPort
