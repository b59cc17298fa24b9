// The Windows-style calls of win_comm.h: argument checks, handle lookup and
// last-error bookkeeping around the comm engine and the event objects.
#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "comm_engine_p.h"
#include "event_object_p.h"
#include "handle_table_p.h"
#include "in_process_devices_p.h"
#include "net_address.h"
#include "net_backend.h"
#include "tty_backend_posix.h"
#include "win_comm.h"

namespace CPort::Platform {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::shared_ptr<CommEngine> Device(HANDLE handle) {
  std::shared_ptr<CommEngine> device = HandleTable::FindDevice(handle);
  if (!device) SetLastError(ERROR_INVALID_HANDLE);
  return device;
}

BOOL Result(DWORD status) {
  if (status != ERROR_SUCCESS) return Fail(status);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The event of an OVERLAPPED: none (hEvent 0), or an event object.
bool ResolveEvent(const OVERLAPPED& overlapped, std::shared_ptr<EventObject>& event) {
  if (overlapped.hEvent == 0) return true;
  event = HandleTable::FindEvent(overlapped.hEvent);
  return event != nullptr;
}

// Runs an overlapped operation. Without an OVERLAPPED the call is made
// synchronous: it waits for the result on an OVERLAPPED of its own.
template <typename Start>
BOOL Transfer(const std::shared_ptr<CommEngine>& device, OVERLAPPED* overlapped, DWORD* count, Start start) {
  if (count != nullptr) *count = 0;
  if (overlapped == nullptr) {
    // The engine wakes its completion waiters itself: no event is needed.
    OVERLAPPED own{};
    DWORD done = 0;
    BeginAwaitedTransfers();
    DWORD status = start(&own, nullptr, done);
    if (status == ERROR_IO_PENDING) status = device->OverlappedResult(&own, true, done);
    EndAwaitedTransfers();
    if (count != nullptr) *count = done;
    return Result(status);
  }
  std::shared_ptr<EventObject> event;
  if (!ResolveEvent(*overlapped, event)) return Fail(ERROR_INVALID_HANDLE);
  DWORD done = 0;
  const DWORD status = start(overlapped, std::move(event), done);
  if (count != nullptr) *count = done;
  return Result(status);
}

// Windows code opens COM10 and above as "\\.\COM10"; the prefix names the
// same device.
std::string DeviceName(const char* fileName) {
  std::string name(fileName);
  const std::string prefix = "\\\\.\\";
  if (name.rfind(prefix, 0) == 0) name.erase(0, prefix.size());
  return name;
}

}  // namespace

HANDLE OpenDeviceHandle(std::unique_ptr<DeviceBackend> backend) {
  auto engine = std::make_shared<CommEngine>(std::move(backend));
  if (const int error = engine->Start()) {
    SetLastError(static_cast<DWORD>(error));
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = HandleTable::Insert(std::move(engine));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD creationDisposition, DWORD, HANDLE) {
  if (fileName == nullptr || *fileName == '\0' || creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = DeviceName(fileName);
  int error = 0;
  std::unique_ptr<DeviceBackend> backend;
  if (IsVirtualDeviceName(name)) {
    backend = OpenVirtualDevice(name, error);
  } else if (IsNetPortName(name)) {
    backend = OpenNetDevice(name, error);
  } else {
    backend = OpenTtyDevice(name.front() == '/' ? name : "/dev/" + name, error);
  }
  if (!backend) {
    SetLastError(static_cast<DWORD>(error != 0 ? error : ENOENT));
    return INVALID_HANDLE_VALUE;
  }
  return OpenDeviceHandle(std::move(backend));
}

BOOL CloseHandle(HANDLE handle) {
  HandleTable::Entry entry = HandleTable::Remove(handle);
  // The thread that closes the last handle has nothing left to wait for: its
  // cached waiter (an eventfd) goes too, or the first port of a process
  // would leave it behind for the rest of the thread's life.
  struct ReleaseWaiterWhenLast {
    ~ReleaseWaiterWhenLast() {
      if (HandleTable::Count() == 0) Waiter::ReleaseForThisThread();
    }
  } releaseWaiterWhenLast;
  if (auto* device = std::get_if<std::shared_ptr<CommEngine>>(&entry)) return Result((*device)->Close());
  if (std::holds_alternative<std::shared_ptr<EventObject>>(entry)) return Result(ERROR_SUCCESS);
  return Fail(ERROR_INVALID_HANDLE);
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  return Result(device->SetupComm(inQueue, outQueue));
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Result(device->SetState(*dcb));
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Result(device->SetTimeouts(*timeouts));
}

BOOL SetCommMask(HANDLE handle, DWORD eventMask) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  return Result(device->SetMask(eventMask));
}

BOOL WaitCommEvent(HANDLE handle, DWORD* eventMask, OVERLAPPED* overlapped) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  return Transfer(device, overlapped, nullptr,
                  [&](OVERLAPPED* used, std::shared_ptr<EventObject> event, DWORD&) {
                    return device->WaitEvent(eventMask, used, std::move(event));
                  });
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (buffer == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
  return Transfer(device, overlapped, written,
                  [&](OVERLAPPED* used, std::shared_ptr<EventObject> event, DWORD& done) {
                    return device->Write(buffer, count, used, std::move(event), done);
                  });
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (buffer == nullptr && count > 0) return Fail(ERROR_INVALID_PARAMETER);
  return Transfer(device, overlapped, read,
                  [&](OVERLAPPED* used, std::shared_ptr<EventObject> event, DWORD& done) {
                    return device->Read(buffer, count, used, std::move(event), done);
                  });
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  const DWORD status = device->OverlappedResult(overlapped, wait != FALSE, done);
  if (transferred != nullptr) *transferred = done;
  return Result(status);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  return Result(device->Purge(flags));
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  return Result(device->ClearError(errors, stat));
}

BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStat) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (modemStat == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Result(device->ModemStatus(*modemStat));
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  const auto device = Device(handle);
  if (!device) return FALSE;
  if (function != SETBREAK && function != CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
  return Result(device->SetBreak(function == SETBREAK));
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char* name) {
  // Named events would be shared between processes; nothing here needs that.
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return HandleTable::Insert(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
  const auto event = HandleTable::FindEvent(handle);
  if (!event) return Fail(ERROR_INVALID_HANDLE);
  event->Set();
  return Result(ERROR_SUCCESS);
}

BOOL ResetEvent(HANDLE handle) {
  const auto event = HandleTable::FindEvent(handle);
  if (!event) return Fail(ERROR_INVALID_HANDLE);
  event->Reset();
  return Result(ERROR_SUCCESS);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // The shared pointers keep the events alive even if a handle is closed
  // during the wait.
  std::array<std::shared_ptr<EventObject>, MAXIMUM_WAIT_OBJECTS> owned;
  std::array<EventObject*, MAXIMUM_WAIT_OBJECTS> events{};
  for (DWORD i = 0; i < count; ++i) {
    owned[i] = HandleTable::FindEvent(handles[i]);
    if (!owned[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events[i] = owned[i].get();
  }
  return WaitForEventObjects({events.data(), count}, waitAll != FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace CPort::Platform
