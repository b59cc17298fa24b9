// The window procedure of a port's window, the same on every system: one
// event message runs the port's step for that event on the main thread.
#include "CPort/ComPort.h"
#include "CPort/PortWindow.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using namespace Platform;

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
