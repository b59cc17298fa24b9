// ---------------------------------------------------------------------------
// Not API. This header is private to the platform layer and may change
// without notice.
// ---------------------------------------------------------------------------
//
// The seam between the comm engine and the device kinds.
//
// The engine (comm_engine_p.h) keeps the Windows semantics in one place: the
// input queue sized by SetupComm, pending overlapped reads, writes and the
// event wait, COMMTIMEOUTS, purge, the event history, rx-char, rx-flag and
// rx-80-full, ClearCommError's flags and counts. A backend only moves bytes
// and reports what happens on the line. The backends: the tty
// (tty_backend_posix.*), the virtual device (virtual_device.*) and the
// network ports (net_backend.h: raw TCP and RFC 2217).
//
// Where the input queue lives: a backend whose Read hands over the
// descriptor's bytes unchanged says so (ReadsUnchanged); the kernel's queue
// is then the input queue (counts from FIONREAD, reads straight into the
// caller's buffer). A backend whose Read decodes its stream (in-band line
// status marking, a protocol's escapes) and a push-style backend get a
// user-space queue filled at arrival; nothing else is needed to plug in.
//
// Return conventions: int results are 0 or an errno value; ssize_t results are
// a byte count >= 0 or -errno (-EAGAIN: nothing can move now).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "comm_call.h"
#include "win_comm.h"

namespace CPort::Platform {

// Implemented by the engine. A backend may call it from any thread, also from
// inside a backend call made by the engine.
class DeviceSink {
 public:
  virtual ~DeviceSink() = default;
  // Bytes received by a backend that has no descriptor to poll (push style).
  virtual void BytesArrived(const std::uint8_t* data, std::size_t count) = 0;
  // Line events: any of EV_CTS, EV_DSR, EV_RLSD, EV_RING, EV_BREAK, EV_TXEMPTY.
  virtual void LineEvents(DWORD events) = 0;
  // Line errors: CE_* flags. The engine ORs them into ClearCommError's flags
  // and raises EV_ERR (and EV_BREAK for CE_BREAK).
  virtual void LineErrors(DWORD errors) = 0;
  // Something the engine waits for may now be possible (e.g. a held write may
  // go on); the engine retries its pending work.
  virtual void Wake() = 0;
  // The device is gone (unplugged, far side closed): pending and later
  // transfers and event waits fail with this errno.
  virtual void DeviceLost(int error) = 0;
};

class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;

  // Called by the engine at the start of every call on this device. A
  // non-zero errno makes the call fail with it. The tty always returns 0.
  virtual int Intercept(CommCall call) { (void)call; return 0; }

  // Attach is called once after open, Detach once before Close; Detach stops
  // the backend's own watchers (modem lines, drain), and after it returns no
  // sink call is made any more.
  virtual void Attach(DeviceSink* sink) = 0;
  virtual void Detach() = 0;
  virtual void Close() = 0;

  // Configuration. The engine has validated the arguments.
  virtual int SetupQueues(DWORD inQueue, DWORD outQueue) = 0;
  virtual int ApplyState(const DCB& dcb) = 0;
  virtual int ApplyTimeouts(const COMMTIMEOUTS& timeouts) = 0;

  // Descriptor the engine polls for POLLIN/POLLOUT (and POLLHUP), or -1 for a
  // push-style backend that reports input through DeviceSink::BytesArrived
  // and calls Wake when it can take more output.
  virtual int PollFd() const = 0;

  // True while Read returns exactly the bytes the descriptor holds, so that
  // the descriptor's FIONREAD count is the number of bytes Read will give.
  // May change with ApplyState; read at every engine step.
  virtual bool ReadsUnchanged() const { return false; }

  // The events the port now waits for (SetCommMask). A backend starts the
  // watchers it needs for them (modem lines) and stops those it no longer
  // needs. Called outside the engine's lock, never concurrently with itself
  // or with Detach.
  virtual void WatchEvents(DWORD mask) { (void)mask; }

  // Non-blocking data movement. Read strips any in-band line status marking
  // and reports it through the sink; it returns -EIO (or another errno) when
  // the device is gone.
  virtual ssize_t Read(std::uint8_t* buffer, std::size_t count) = 0;
  virtual ssize_t Write(const std::uint8_t* data, std::size_t count) = 0;

  // Bytes accepted by Write but not yet on the line.
  virtual int OutputQueued(DWORD& count) = 0;
  // Called when the engine has handed its last pending output to Write while
  // EV_TXEMPTY is in the mask; the backend reports EV_TXEMPTY through the
  // sink once the line is idle.
  virtual void WatchTxEmpty() = 0;

  // MS_*_ON bits. A device without modem lines reports 0 and succeeds.
  virtual int ModemStatus(DWORD& status) = 0;

  // Discard what the device itself still holds (PURGE_TXCLEAR/PURGE_RXCLEAR).
  virtual int Purge(DWORD flags) = 0;

  // Starts (true) or ends a break on the line. A device kind that has no way
  // to send one keeps this default.
  virtual int SetBreak(bool on) {
    (void)on;
    return EOPNOTSUPP;
  }
};

}  // namespace CPort::Platform
