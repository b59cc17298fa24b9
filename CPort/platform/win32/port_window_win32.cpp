// TPortWindow on Windows: each port with smWindowSync has a hidden
// (message-only) window of its own, made on the main thread. The event
// thread hands each event to the main thread through the runtime's queue, as
// on POSIX, so that ClosePort can serve it while it waits for the thread;
// there the event is sent to the window as a message, and the window
// procedure runs the port's step.
#include <mutex>

#include "CPort/ComPort.h"
#include "CPort/PortWindow.h"
#include "CPort/port_window_order_p.h"
#include "CPort/runtime/MainThread.h"
#include "win_comm.h"

namespace CPort {

using namespace Platform;

namespace {

constexpr const wchar_t* kClassName = L"KelvatCPortWindow";

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
  for (const auto& entry : Detail::kPortWindowSendOrder) {
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

}  // namespace CPort
