// The platform calls a device sees, by name: a device may intercept each one
// (the virtual device fails any of them on request, see virtual_device.h).
//
// Part of the testing library's interface (kelvat::cport_testing).
#pragma once

namespace CPort::Platform {

enum class CommCall {
  SetupComm,
  SetCommState,
  SetCommTimeouts,
  SetCommMask,
  WaitCommEvent,
  WriteFile,
  ReadFile,
  GetOverlappedResult,
  PurgeComm,
  ClearCommError,
  GetCommModemStatus,
  CloseHandle,
  EscapeCommFunction,
};

}  // namespace CPort::Platform
