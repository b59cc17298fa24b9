// The port library's platform layer on Windows: the communications interface
// itself. Every name the port object uses is the system's own type, constant
// or function, brought into CPort::Platform; nothing stands in between but
// the device-name handling of CreateFileA (see below).
//
// Porting notes
//  - Error codes are the system's (GetLastError): 2 no such port, 5 the port
//    is held by another program, 87 invalid parameter, 995 aborted by a
//    purge, 997 overlapped operation started.
//  - The port object opens every device for overlapped I/O; COMMTIMEOUTS,
//    purge and the event wait behave as the system's serial driver makes
//    them (documented in the POSIX side's header, which emulates them).
//  - Network ports ("rfc2217://", "socket://") and virtual devices exist only
//    in the POSIX build; opening such a name fails with ERROR_NOT_SUPPORTED.
//
// Thread safety: as the system's calls.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The printing API defines SetPort as a macro (SetPortA/SetPortW), which
// would rename TComPort::SetPort in every file that sees it. Included here
// once, so that its include guard keeps it from coming back, and undone.
#include <winspool.h>
#undef SetPort

namespace CPort::Platform {

using ::BOOL;
using ::BYTE;
using ::COMMTIMEOUTS;
using ::COMSTAT;
using ::DCB;
using ::DWORD;
using ::HANDLE;
using ::OVERLAPPED;
using ::ULONG_PTR;
using ::WORD;

// The value of an unset handle member. INVALID_HANDLE_VALUE is a macro
// here; this name works qualified, as on the POSIX side.
inline const HANDLE kInvalidHandle = INVALID_HANDLE_VALUE;

// Bits of the DCB's flag word, in the order of its bit fields; the port
// object builds the word and SetDcbFlags spreads it over the fields.
namespace DcbFlag {
constexpr DWORD fBinary = 0x0001;
constexpr DWORD fParity = 0x0002;
constexpr DWORD fOutxCtsFlow = 0x0004;
constexpr DWORD fOutxDsrFlow = 0x0008;
constexpr DWORD fDtrControlMask = 0x0030;
constexpr int fDtrControlShift = 4;
constexpr DWORD fDsrSensitivity = 0x0040;
constexpr DWORD fTXContinueOnXoff = 0x0080;
constexpr DWORD fOutX = 0x0100;
constexpr DWORD fInX = 0x0200;
constexpr DWORD fErrorChar = 0x0400;
constexpr DWORD fNull = 0x0800;
constexpr DWORD fRtsControlMask = 0x3000;
constexpr int fRtsControlShift = 12;
constexpr DWORD fAbortOnError = 0x4000;
}  // namespace DcbFlag

inline void SetDcbFlags(DCB& dcb, DWORD flags) {
  dcb.fBinary = (flags & DcbFlag::fBinary) != 0;
  dcb.fParity = (flags & DcbFlag::fParity) != 0;
  dcb.fOutxCtsFlow = (flags & DcbFlag::fOutxCtsFlow) != 0;
  dcb.fOutxDsrFlow = (flags & DcbFlag::fOutxDsrFlow) != 0;
  dcb.fDtrControl = (flags & DcbFlag::fDtrControlMask) >> DcbFlag::fDtrControlShift;
  dcb.fDsrSensitivity = (flags & DcbFlag::fDsrSensitivity) != 0;
  dcb.fTXContinueOnXoff = (flags & DcbFlag::fTXContinueOnXoff) != 0;
  dcb.fOutX = (flags & DcbFlag::fOutX) != 0;
  dcb.fInX = (flags & DcbFlag::fInX) != 0;
  dcb.fErrorChar = (flags & DcbFlag::fErrorChar) != 0;
  dcb.fNull = (flags & DcbFlag::fNull) != 0;
  dcb.fRtsControl = (flags & DcbFlag::fRtsControlMask) >> DcbFlag::fRtsControlShift;
  dcb.fAbortOnError = (flags & DcbFlag::fAbortOnError) != 0;
}

// Opens a port by the name the port object holds: "COM3" (or "\\.\COM3",
// or any other device path, passed on as it is). COMn names get the "\\.\"
// prefix, which the system needs from COM10 on.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Marks a stretch in which the calling thread awaits every transfer it
// starts at once. The POSIX side drives such transfers from the waiting
// thread; the system's driver needs no hint.
inline void BeginAwaitedTransfers() {}
inline void EndAwaitedTransfers() {}

using ::ClearCommError;
using ::CloseHandle;
using ::CreateEventA;
using ::EscapeCommFunction;
using ::GetCommModemStatus;
using ::GetLastError;
using ::GetOverlappedResult;
using ::PurgeComm;
using ::ReadFile;
using ::ResetEvent;
using ::SetCommMask;
using ::SetCommState;
using ::SetCommTimeouts;
using ::SetEvent;
using ::SetLastError;
using ::SetupComm;
using ::Sleep;
using ::WaitCommEvent;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;
using ::WriteFile;

}  // namespace CPort::Platform
