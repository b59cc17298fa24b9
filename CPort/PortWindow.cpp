#include "CPort/PortWindow.h"

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using namespace Platform;

namespace {

// Order in which the events of one batch are sent.
constexpr struct {
  TComEvent event;
  DWORD flag;
} kSendOrder[] = {{evError, EV_ERR},  {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY}, {evBreak, EV_BREAK},
                  {evRing, EV_RING},  {evCTS, EV_CTS},       {evDSR, EV_DSR},         {evRxFlag, EV_RXFLAG},
                  {evRLSD, EV_RLSD}, {evRx80Full, EV_RX80FULL}};

}  // namespace

TPortWindow::TPortWindow(TCustomComPort* port) : port_(port), alive_(std::make_shared<std::atomic<bool>>(true)) {}

TPortWindow::~TPortWindow() { *alive_ = false; }

void TPortWindow::SendEvents(TComEvents batch) {
  for (const auto& entry : kSendOrder) {
    if (!batch.Contains(entry.event)) continue;
    Runtime::SendToMainThread([this, alive = alive_, flag = entry.flag] {
      if (*alive) PortWindowProc(kEventMessage, flag);
    });
  }
}

void TPortWindow::PortWindowProc(unsigned message, DWORD eventFlag) {
  if (message != kEventMessage || !port_->Connected()) return;
  try {
    switch (eventFlag) {
      case EV_RXCHAR: port_->ProcessRxChar(); break;
      case EV_RXFLAG: port_->ProcessRxFlag(); break;
      case EV_TXEMPTY: port_->ProcessTxEmpty(); break;
      case EV_CTS: port_->ProcessCTSChange(); break;
      case EV_DSR: port_->ProcessDSRChange(); break;
      case EV_RLSD: port_->ProcessRLSDChange(); break;
      case EV_BREAK: port_->ProcessBreak(); break;
      case EV_ERR: port_->ProcessError(); break;
      case EV_RING: port_->ProcessRing(); break;
      case EV_RX80FULL: port_->ProcessRx80Full(); break;
      default: break;
    }
  } catch (...) {
    Runtime::ShowApplicationError(std::current_exception(), port_);
  }
}

}  // namespace CPort
