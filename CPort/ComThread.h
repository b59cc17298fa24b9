// TComThread: the port's event thread. It waits for the device's
// communication events and hands each batch to the port, on the thread the
// port's SyncMethod chooses.
//
// Not API: internal to the port library and not installed.
//
// Everything the loop needs from the port (device handle, delivery method,
// notification window) is taken when the thread is constructed, on the
// thread that opens the port; afterwards the loop calls into the port only to
// deliver a batch and, before that, to learn whether any of its events has a
// handler or a step that acts (a batch with neither is not handed over).
#pragma once

#include <atomic>
#include <string>
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
  // Events are awaited from the start, but no batch is delivered before
  // AllowDelivery: the port is still being opened.
  explicit TComThread(TCustomComPort* port);
  // Stops the loop and waits for its end; on the main thread it keeps
  // serving the deliveries this thread handed over meanwhile.
  ~TComThread() override;

  // Signals the stop event. Safe to call at any time before destruction,
  // also after the loop has ended by itself.
  void RequestStop();

  // Lets batches through to the port; called once the open has finished.
  void AllowDelivery();

  // True while the caller is one this thread waits for: a handler running on
  // the event thread itself, or on the main thread for a handed-over batch.
  // Such a caller cannot wait for the thread's end.
  bool WaitsForCaller() const;

  // For a port that is closed by one of this thread's own handlers: the
  // thread stops, the rest of the batch is dropped, and the exit steps run
  // now, while the device is still open. The thread then touches nothing of
  // the port and ends once the handler has returned.
  void Detach();
  bool Detached() const { return detached_; }

 protected:
  void Execute() override;

 private:
  void DeliverEvents();
  // Waits until delivery is allowed; false when a stop came first.
  bool AwaitDeliveryAllowed();
  // Mask cleared and queues purged, once, whoever gets there first.
  void RunExitSteps();
  // Decides what a failed event wait means; returns true to keep waiting.
  bool KeepWaitingAfter(Platform::DWORD error);
  void ReportEnd(std::exception_ptr error);
  bool StopRequested() const;

  TCustomComPort* port_;
  const Platform::HANDLE device_;
  const TSyncMethod syncMethod_;
  const std::string portName_;  // for the errors the loop raises
  // The port's notification window (smWindowSync); outlives this thread.
  TPortWindow* const window_;
  // Kept until the thread object is destroyed, so a stop request after the
  // loop's own end never signals a closed handle.
  Platform::HANDLE stopEvent_;
  Platform::HANDLE deliveryAllowed_;
  TComEvents batch_;
  std::atomic<bool> deliveringOnMainThread_{false};
  // Tells the port's reconnecting that the device went away.
  std::function<void()> reportLoss_;
  std::atomic<bool> detached_{false};
  std::atomic<bool> exitStepsDone_{false};
  int consecutiveFailures_ = 0;
};

}  // namespace CPort
