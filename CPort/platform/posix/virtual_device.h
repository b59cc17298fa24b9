// An in-process serial device for tests and demos.
//
// A test registers a VirtualDevice under a port name; opening that name (with
// CreateFileA, and so with TComPort::OpenPort) reaches this object instead of
// a tty. The device records every configuration call it receives, carries data
// both ways, lets the test set modem lines and raise line errors, breaks and
// ring, and can make any platform call fail with a given errno.
//
// Thread safety: every member may be called from any thread.
//
// The testing library (kelvat::cport_testing); a program that does not link
// it opens only ttys. A registered name is looked up before any path, so a
// test may also stand in for "ttyUSB0".
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CPort/platform/comm_call.h"
#include "CPort/platform/win_comm.h"

namespace CPort::Platform {

class VirtualDevice {
 public:
  // One configuration call as the device received it.
  struct ConfigCall {
    enum class Kind { QueueSizes, State, Timeouts };
    Kind kind;
    DWORD inQueue = 0, outQueue = 0;  // QueueSizes
    DCB dcb{};                        // State (the 28 bytes as passed)
    COMMTIMEOUTS timeouts{};          // Timeouts
  };

  // Registers a device under portName (the exact text given to CreateFileA or
  // TComPort::Port). Replaces an earlier registration of that name.
  static std::shared_ptr<VirtualDevice> Register(const std::string& portName);
  static void Unregister(const std::string& portName);
  static std::shared_ptr<VirtualDevice> Find(const std::string& portName);
  // Names of all registered devices.
  static std::vector<std::string> RegisteredNames();

  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  const std::string& Name() const;
  bool IsOpen() const;
  int OpenCount() const;  // successful opens so far

  // Configuration record, in the order received (failed calls included).
  std::vector<ConfigCall> ConfigCalls() const;
  void ClearConfigCalls();
  // Last successfully applied settings.
  DCB CurrentState() const;
  COMMTIMEOUTS CurrentTimeouts() const;

  // Make the next `times` calls of the given kind fail with errno `error`
  // (times < 0: until cleared with error 0). CommCall::CloseHandle failing
  // still releases the device. Opening is failed with FailOpen.
  void FailCall(CommCall call, int error, int times = -1);
  void FailOpen(int error, int times = -1);

  // Data from the device to the port (appears in the port's input queue).
  // Like a device with hardware flow control, the device holds back what
  // the port's input queue has no room for; it is delivered as room frees.
  // Bytes fed while the device is closed wait for the next open; bytes not
  // yet delivered when the port closes are dropped.
  void Feed(const std::string& bytes);
  // Fed bytes the port has not taken yet.
  std::size_t PendingInput() const;
  // Everything the port has written so far, in order; Take... clears it.
  std::string Written() const;
  std::string TakeWritten();
  // Number of separate WriteFile calls that reached the device.
  int WriteCalls() const;
  // Wait until at least `count` bytes have been written in total; false when
  // `limit` passed first.
  bool WaitForWritten(std::size_t count, std::chrono::milliseconds limit) const;

  // Hold writes: while held, written bytes stay in the output queue and
  // overlapped writes stay pending; releasing lets them through.
  void HoldOutput(bool hold);

  // Modem lines (MS_*_ON bits). A change raises the matching EV_CTS / EV_DSR /
  // EV_RLSD; Ring raises EV_RING (and pulses MS_RING_ON only in the status).
  void SetModemLines(DWORD msBits);
  void Ring();
  // Line errors (CE_* flags) raise EV_ERR; Break raises EV_BREAK and CE_BREAK.
  void RaiseErrors(DWORD ceFlags);
  void Break();
  // Breaks the port sends: whether the line is held in break now, and how
  // many breaks it has begun.
  bool LineInBreak() const;
  int BreaksFromPort() const;
  // Raise arbitrary events (EV_* bits) as if the driver had reported them.
  void RaiseEvents(DWORD evBits);
  // The device disappears (unplugged) while open.
  void Unplug(int error = 5 /* EIO */);

 private:
  struct State;
  explicit VirtualDevice(std::string name);
  std::shared_ptr<State> state_;
  friend class VirtualBackend;
  friend class VirtualDeviceDirectory;
};

}  // namespace CPort::Platform
