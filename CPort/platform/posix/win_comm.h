// The port library's platform layer: the Windows communications interface,
// kept with its own names, types and semantics, implemented on Linux.
//
// The port object is written against these calls so that its algorithms read
// one-to-one with the Windows API it was designed for. Behind a HANDLE stands
// either a real tty (termios) or an in-process virtual device registered by a
// test (see virtual_device.h), or an event object.
//
// Porting notes
//  - Error codes are errno values (ENOENT = 2, EBUSY = 16, EIO = 5, ...), read
//    with GetLastError() right after the failed call; the last error is kept
//    per thread. ERROR_IO_PENDING keeps its Windows value 997 so that a
//    started overlapped transfer can never be confused with an errno.
//  - Every device is opened for overlapped I/O: ReadFile, WriteFile and
//    WaitCommEvent take an OVERLAPPED whose event is reset when the call starts
//    and set when it ends; GetOverlappedResult reads its result.
//  - COMMTIMEOUTS keep the documented read and write semantics, including the
//    MAXDWORD special cases; a timeout ends a transfer successfully with the
//    bytes moved so far.
//  - The kernel's tty queues have a fixed size. SetupComm's sizes are kept for
//    the XON/XOFF limits, the rx-80-full threshold and the input queue that the
//    layer keeps in user space.
//
// Thread safety: every call may be made from any thread. One OVERLAPPED must
// not carry two operations at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace CPort::Platform {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using HANDLE = std::intptr_t;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;
// The same, under a name that also works qualified where the system's
// headers make INVALID_HANDLE_VALUE a macro.
constexpr HANDLE kInvalidHandle = INVALID_HANDLE_VALUE;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Error codes. Everything but ERROR_IO_PENDING is an errno value.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;      // ENOENT
constexpr DWORD ERROR_IO_PENDING = 997;        // overlapped operation started
constexpr DWORD ERROR_IO_INCOMPLETE = 996;     // GetOverlappedResult(wait=FALSE) on a pending one
constexpr DWORD ERROR_OPERATION_ABORTED = 125; // ECANCELED: purged with an abort flag
constexpr DWORD ERROR_INVALID_PARAMETER = 22;  // EINVAL
constexpr DWORD ERROR_INVALID_HANDLE = 9;      // EBADF
constexpr DWORD ERROR_BUSY = 16;               // EBUSY: the device is open elsewhere

// Status word of an OVERLAPPED (its Internal member).
constexpr ULONG_PTR STATUS_PENDING = 0x103;

// Wait results.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// CreateFileA arguments.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// DCB values.
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                RTS_CONTROL_TOGGLE = 3;

// Bits of DCB::Flags, in the order of the Windows DCB bit fields.
namespace DcbFlag {
constexpr DWORD fBinary = 0x0001;
constexpr DWORD fParity = 0x0002;
constexpr DWORD fOutxCtsFlow = 0x0004;
constexpr DWORD fOutxDsrFlow = 0x0008;
constexpr DWORD fDtrControlMask = 0x0030;  // two bits, value << 4
constexpr int fDtrControlShift = 4;
constexpr DWORD fDsrSensitivity = 0x0040;
constexpr DWORD fTXContinueOnXoff = 0x0080;
constexpr DWORD fOutX = 0x0100;
constexpr DWORD fInX = 0x0200;
constexpr DWORD fErrorChar = 0x0400;
constexpr DWORD fNull = 0x0800;
constexpr DWORD fRtsControlMask = 0x3000;  // two bits, value << 12
constexpr int fRtsControlShift = 12;
constexpr DWORD fAbortOnError = 0x4000;
}  // namespace DcbFlag

// Device control block: 28 bytes, laid out as on Windows.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD Flags;  // the bit-field word, see DcbFlag
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;

  DWORD DtrControl() const { return (Flags & DcbFlag::fDtrControlMask) >> DcbFlag::fDtrControlShift; }
  DWORD RtsControl() const { return (Flags & DcbFlag::fRtsControlMask) >> DcbFlag::fRtsControlShift; }
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

// Sets the flag word from DcbFlag bits (the system's DCB has bit fields).
inline void SetDcbFlags(DCB& dcb, DWORD flags) { dcb.Flags = flags; }

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD Flags;  // fCtsHold etc.; kept zero by this layer
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct OVERLAPPED {
  ULONG_PTR Internal;      // status: 0 done, STATUS_PENDING, else the error code
  ULONG_PTR InternalHigh;  // bytes transferred
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

// Communication events (SetCommMask / WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_RX80FULL = 0x0400;

// Line error flags (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_MODE = 0x8000;

// Modem status (GetCommModemStatus).
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Per-thread last error.
DWORD GetLastError();
void SetLastError(DWORD code);

// Devices. The name is resolved as: a registered virtual device of that name;
// else "rfc2217://HOST:PORT" or "socket://HOST:PORT", a port on another
// machine (net_backend.h); else a name beginning with "/" is a path; else
// "/dev/" + name. A tty is opened exclusively: a second open fails with
// EBUSY, also for root.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);

BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue);
BOOL SetCommState(HANDLE device, const DCB* dcb);
BOOL SetCommTimeouts(HANDLE device, const COMMTIMEOUTS* timeouts);
BOOL SetCommMask(HANDLE device, DWORD eventMask);
BOOL WaitCommEvent(HANDLE device, DWORD* eventMask, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL PurgeComm(HANDLE device, DWORD flags);
BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* stat);
BOOL GetCommModemStatus(HANDLE device, DWORD* modemStat);
// SETBREAK holds the line in the break state until CLRBREAK. Other functions
// are not carried here: ERROR_INVALID_PARAMETER. A device that cannot send a
// break (a raw TCP port) fails with EOPNOTSUPP.
constexpr DWORD SETBREAK = 8, CLRBREAK = 9;
BOOL EscapeCommFunction(HANDLE device, DWORD function);

// Event objects.
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

void Sleep(DWORD milliseconds);

// Synchronous transfers built on overlapped ones (start, then wait at once).
// Between BeginAwaitedTransfers and EndAwaitedTransfers, a ReadFile or
// WriteFile that the calling thread starts with an OVERLAPPED and that goes
// pending is awaited by that same thread right away (WaitForSingleObject on
// the OVERLAPPED's event, or GetOverlappedResult with wait): no other thread
// has to keep it moving meanwhile, and none is woken or started for it. A
// transfer still pending at EndAwaitedTransfers is driven from then on as
// any other. Stretches nest; each thread has its own. A hint only: results
// are the same with or without it.
void BeginAwaitedTransfers();
void EndAwaitedTransfers();

// The signal that ends a tty's modem-line wait (TIOCMIWAIT) and drain
// (tcdrain): those calls ignore the descriptor being closed, so the thread
// that waits in them (one per port, only while a modem event is armed or a
// tx-empty is awaited on a device that has modem lines or output timing) is
// woken with a real-time signal sent to that thread alone. Its handler does
// nothing and is installed without SA_RESTART.
//
// By default the layer takes, when it first needs one, the first real-time
// signal from SIGRTMIN + 4 up that has no handler yet; a handler the
// application installed beforehand is never replaced. An application that
// installs handlers later, or wants a particular signal, names it here
// before the first port with modem lines opens. Fails with EINVAL for a
// signal outside SIGRTMIN..SIGRTMAX and with EBUSY once another signal is in
// use; naming the one in use succeeds.
BOOL SetLineWaitSignal(int signal);

}  // namespace CPort::Platform
