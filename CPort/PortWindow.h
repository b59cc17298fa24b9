// TPortWindow: the per-port channel to the main thread used with
// smWindowSync. It carries one message per event, releases the sender as soon
// as the main thread takes the message up, keeps the order, and ignores
// messages once the port is closed or the channel is gone. On Windows the
// messages reach a real hidden window of the port (platform/win32).
//
// Not API: internal to the port library and not installed.
#pragma once

#include <atomic>
#include <memory>

#include "CPort/ComTypes.h"
#include "CPort/platform/win_comm.h"

namespace CPort {

class TCustomComPort;

class TPortWindow {
 public:
  // The message that carries one event, and its first parameter.
  static constexpr unsigned kEventMessage = 0x0401;

  explicit TPortWindow(TCustomComPort* port);
  ~TPortWindow();

  // Event thread: one message per event of the batch, in the fixed order.
  void SendEvents(TComEvents batch);

  // Main thread: the window procedure for one message.
  void PortWindowProc(unsigned message, Platform::DWORD eventFlag);

 private:
  TCustomComPort* port_;
  std::shared_ptr<std::atomic<bool>> alive_;
  void* window_ = nullptr;  // the system's window, where there is one
};

}  // namespace CPort
