// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The tty device kind: serial adapters, on-board UARTs and pseudo-terminals
// driven through termios.
#pragma once

#include <memory>
#include <string>

#include "device_backend_p.h"

namespace CPort::Platform {

// Opens the tty at `path` exclusively (a second open fails with EBUSY, also
// for root), non-blocking, in raw binary mode. On failure returns nullptr and
// sets `error` to the errno (ENOENT for a missing device).
std::unique_ptr<DeviceBackend> OpenTtyDevice(const std::string& path, int& error);

}  // namespace CPort::Platform
