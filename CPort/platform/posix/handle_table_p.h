// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// HANDLE values and the objects behind them: device engines and event
// objects. Handles are never reused within a process, so a stale handle can
// only ever be invalid, never silently reach another object.
#pragma once

#include <cstddef>
#include <memory>
#include <variant>

#include "win_comm.h"

namespace CPort::Platform {

class CommEngine;
class DeviceBackend;
class EventObject;

namespace HandleTable {

using Entry = std::variant<std::monostate, std::shared_ptr<EventObject>, std::shared_ptr<CommEngine>>;

HANDLE Insert(Entry object);
// The object behind a handle, or nullptr when the handle is not of that kind.
std::shared_ptr<EventObject> FindEvent(HANDLE handle);
std::shared_ptr<CommEngine> FindDevice(HANDLE handle);
// Takes the handle out of the table; monostate when it was not there.
Entry Remove(HANDLE handle);
// The number of handles open in the process.
std::size_t Count();

}  // namespace HandleTable

// Starts an engine on an opened backend and gives it a handle. Used by
// CreateFileA, and by tests that drive the engine over a backend of their own.
// Returns INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE OpenDeviceHandle(std::unique_ptr<DeviceBackend> backend);

}  // namespace CPort::Platform
