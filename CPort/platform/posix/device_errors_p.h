// ---------------------------------------------------------------------------
// Not API. Private to the port library and its platform layer.
// ---------------------------------------------------------------------------
#pragma once

#include <cerrno>

namespace CPort {

// The errno values with which calls on a device that went away fail (an
// adapter pulled out, the far side of a pseudo-terminal closed, a handle
// already released). The one list: the tty backend decides with it when a
// failure means the device is lost, the port and its event thread when to
// stop.
inline bool IsDeviceGoneError(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

}  // namespace CPort
