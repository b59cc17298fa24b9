#include "CPort/PortWindow.h"

#include "CPort/ComPort.h"
#include "CPort/port_window_order_p.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using namespace Platform;

TPortWindow::TPortWindow(TCustomComPort* port) : port_(port), alive_(std::make_shared<std::atomic<bool>>(true)) {}

TPortWindow::~TPortWindow() { *alive_ = false; }

void TPortWindow::SendEvents(TComEvents batch) {
  for (const auto& entry : Detail::kPortWindowSendOrder) {
    if (!batch.Contains(entry.event)) continue;
    Runtime::SendToMainThread([this, alive = alive_, flag = entry.flag] {
      if (*alive) PortWindowProc(kEventMessage, flag);
    });
  }
}

}  // namespace CPort
