// TComThread: the port's event thread. It waits for the device's
// communication events and hands each batch to the port, on the thread the
// port's SyncMethod chooses.
//
// Not API: internal to the port library and not installed.
#pragma once

#include <atomic>
#include <exception>
#include <functional>

#include "CPort/ComTypes.h"
#include "CPort/platform/win_comm.h"
#include "CPort/runtime/Thread.h"

namespace CPort {

class TCustomComPort;
class TPortWindow;

class TComThread : public TThread {
 public:
  // Sets the device's event mask from the port's Events and starts at once.
  explicit TComThread(TCustomComPort* port);
  // Stops the loop and waits for its end; on the main thread it keeps
  // serving deliveries already handed over meanwhile.
  ~TComThread() override;

  // Signals the stop event. Safe to call at any time before destruction,
  // also after the loop has ended by itself.
  void RequestStop();

  // True while the caller is one this thread waits for: a handler running on
  // the event thread itself, or on the main thread for a handed-over batch.
  // Such a caller cannot wait for the thread's end.
  bool WaitsForCaller() const;

 protected:
  void Execute() override;

 private:
  void DeliverEvents();
  // Decides what a failed event wait means; returns true to keep waiting.
  bool KeepWaitingAfter(Platform::DWORD error);
  void ReportEnd(std::exception_ptr error);
  bool StopRequested() const;

  TCustomComPort* port_;
  // The port's notification window (smWindowSync); outlives this thread.
  TPortWindow* window_;
  // Kept until the thread object is destroyed, so a stop request after the
  // loop's own end never signals a closed handle.
  Platform::HANDLE stopEvent_;
  TComEvents batch_;
  std::atomic<bool> deliveringOnMainThread_{false};
  // Tells the port's reconnecting that the device went away.
  std::function<void()> reportLoss_;
  int consecutiveFailures_ = 0;
};

}  // namespace CPort
