// TPortWindow on Windows: each port with smWindowSync has a hidden
// (message-only) window of its own, made on the main thread. The event
// thread hands each event to the main thread through the runtime's queue, as
// on POSIX, so that ClosePort can serve it while it waits for the thread;
// there the event is sent to the window as a message, and the window
// procedure runs the port's step.
#include <mutex>

#include "CPort/ComPort.h"
#include "CPort/PortWindow.h"
#include "CPort/runtime/MainThread.h"
#include "win_comm.h"

namespace CPort {

using namespace Platform;

namespace {

constexpr const wchar_t* kClassName = L"KelvatCPortWindow";

// Order in which the events of one batch are sent.
constexpr struct {
  TComEvent event;
  DWORD flag;
} kSendOrder[] = {{evError, EV_ERR},  {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY}, {evBreak, EV_BREAK},
                  {evRing, EV_RING},  {evCTS, EV_CTS},       {evDSR, EV_DSR},         {evRxFlag, EV_RXFLAG},
                  {evRLSD, EV_RLSD}, {evRx80Full, EV_RX80FULL}};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == TPortWindow::kEventMessage) {
    if (auto* target = reinterpret_cast<TPortWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA)))
      target->PortWindowProc(message, static_cast<DWORD>(wParam));
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    registered = ::RegisterClassExW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  });
  return registered;
}

}  // namespace

TPortWindow::TPortWindow(TCustomComPort* port) : port_(port), alive_(std::make_shared<std::atomic<bool>>(true)) {
  if (!RegisterWindowClass()) return;
  HWND window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return;  // the events are then handled without a window
  ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = window;
}

TPortWindow::~TPortWindow() {
  *alive_ = false;
  if (window_ != nullptr) ::DestroyWindow(static_cast<HWND>(window_));
}

void TPortWindow::SendEvents(TComEvents batch) {
  for (const auto& entry : kSendOrder) {
    if (!batch.Contains(entry.event)) continue;
    Runtime::SendToMainThread([this, alive = alive_, flag = entry.flag] {
      if (!*alive) return;
      if (window_ != nullptr)
        ::SendMessageW(static_cast<HWND>(window_), kEventMessage, flag, 0);
      else
        PortWindowProc(kEventMessage, flag);
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
