#include "CPort/ComThread.h"

#include <sched.h>

#include "CPort/ComPort.h"
#include "CPort/PortWindow.h"
#include "CPort/platform/device_errors_p.h"
#include "CPort/port_reconnect_p.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using namespace Platform;

namespace {

// A failed wait that repeats this often in a row is not transient: the loop
// would otherwise spin on it.
constexpr int kMaxConsecutiveFailures = 8;

}  // namespace

TComThread::TComThread(TCustomComPort* port)
    : TThread(true),
      port_(port),
      device_(port->Handle()),
      syncMethod_(port->SyncMethod()),
      portName_(port->Port()),
      window_(port->window_.get()),
      stopEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      deliveryAllowed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      reportLoss_(port->reconnect_->LossReporter()) {
  SetPriority(port_->EventThreadPriority());
  // The result is not examined: a device that refuses the mask simply
  // reports nothing.
  SetCommMask(device_, EventsToMask(port_->Events()));
  Resume();
}

TComThread::~TComThread() {
  RequestStop();
  WaitFor();
  CloseHandle(stopEvent_);
  CloseHandle(deliveryAllowed_);
}

void TComThread::RequestStop() {
  SetEvent(stopEvent_);
  sched_yield();
}

void TComThread::AllowDelivery() { SetEvent(deliveryAllowed_); }

void TComThread::Detach() {
  detached_ = true;
  RequestStop();
  RunExitSteps();
}

void TComThread::Execute() {
  const HANDLE overlappedEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  const HANDLE handles[2] = {stopEvent_, overlappedEvent};
  // Outlives the loop: a wait still pending when the loop ends is completed
  // by the exit steps' SetCommMask, which writes into it.
  OVERLAPPED overlapped{};
  DWORD mask = 0;
  bool deliveryAllowed = false;
  std::exception_ptr endError;
  try {
    for (;;) {
      overlapped = OVERLAPPED{};
      overlapped.hEvent = overlappedEvent;
      mask = 0;
      if (!WaitCommEvent(device_, &mask, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
        if (StopRequested()) break;
        if (KeepWaitingAfter(GetLastError())) continue;
        endError =
            std::make_exception_ptr(EComPort(PortErr::WaitFailed, static_cast<int>(GetLastError()), portName_));
        break;
      }
      // The stop event, or a failed wait: ending is the answer either way.
      if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
      DWORD transferred = 0;
      if (GetOverlappedResult(device_, &overlapped, &transferred, FALSE)) {
        consecutiveFailures_ = 0;
        batch_ = MaskToEvents(mask);
        if (!batch_.Empty()) {
          if (!deliveryAllowed && !(deliveryAllowed = AwaitDeliveryAllowed())) break;
          // A batch in which no step would do anything goes nowhere: the
          // thread waits again at once instead of handing it over.
          batch_ = port_->EventsThatAct(batch_);
          if (!batch_.Empty()) DeliverEvents();
        }
        // A handler may have closed the port; its device is gone by now.
        if (StopRequested()) break;
      } else if (StopRequested()) {
        break;
      } else if (!KeepWaitingAfter(GetLastError())) {
        endError =
            std::make_exception_ptr(EComPort(PortErr::WaitFailed, static_cast<int>(GetLastError()), portName_));
        break;
      }
    }
  } catch (...) {
    // A handler's error ends delivery until the port is opened again.
    endError = std::current_exception();
  }
  // Exit steps, on every way out of the loop; their results do not matter.
  RunExitSteps();
  CloseHandle(overlappedEvent);
  if (endError) ReportEnd(std::move(endError));
}

bool TComThread::AwaitDeliveryAllowed() {
  const HANDLE handles[2] = {stopEvent_, deliveryAllowed_};
  return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

void TComThread::RunExitSteps() {
  if (exitStepsDone_.exchange(true)) return;
  SetCommMask(device_, 0);
  PurgeComm(device_, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool TComThread::StopRequested() const { return WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0; }

bool TComThread::WaitsForCaller() const {
  return IsCurrentThread() || (deliveringOnMainThread_ && Runtime::IsMainThread());
}

bool TComThread::KeepWaitingAfter(DWORD error) {
  if (IsDeviceGoneError(static_cast<int>(error))) return false;
  return ++consecutiveFailures_ < kMaxConsecutiveFailures;
}

// Event delivery ended on an error: a handler's, or a device that went away.
// Nobody waits for this thread's result, so the application's error display
// is told once; without that the received data would simply stop.
void TComThread::ReportEnd(std::exception_ptr error) {
  bool deviceGone = false;
  try {
    std::rethrow_exception(error);
  } catch (const EComPort& e) {
    deviceGone = IsDeviceGoneError(e.OsErrorCode());
  } catch (...) {
  }
  Runtime::ShowApplicationError(std::move(error), port_);
  if (deviceGone) reportLoss_();
}

void TComThread::DeliverEvents() {
  switch (syncMethod_) {
    case smThreadSync:
      Runtime::RunOnMainThread([this] {
        struct Delivering {
          std::atomic<bool>& flag;
          explicit Delivering(std::atomic<bool>& f) : flag(f) { flag = true; }
          ~Delivering() { flag = false; }
        } delivering(deliveringOnMainThread_);
        port_->RunEventSteps(batch_, *this);
      });
      break;
    case smWindowSync:
      window_->SendEvents(batch_);
      break;
    case smNone:
      port_->RunEventSteps(batch_, *this);
      break;
  }
}

}  // namespace CPort
