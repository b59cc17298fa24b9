// The main-thread queue served from a Win32 message loop (see
// main_thread_loop_p.h): a hidden window on the main thread, posted one
// message whenever requests are waiting; its procedure serves the queue.
#include <atomic>

#include "CPort/runtime/MainThread.h"
#include "main_thread_loop_p.h"
#include "win_comm.h"

namespace CPort::Platform {

namespace {

constexpr const wchar_t* kClassName = L"KelvatCPortMainThread";
constexpr UINT kServeMessage = WM_APP + 0x4B;

// One message at a time is enough: serving runs every request queued.
std::atomic<bool>& Posted() {
  static std::atomic<bool> posted{false};
  return posted;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kServeMessage) {
    Posted() = false;
    Runtime::ServeMainThreadQueue();
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void AttachMainThreadLoop() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClassName;
  if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  HWND window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  // Without the window a console loop still serves the queue.
  if (window == nullptr) return;
  Posted() = false;
  Runtime::SetMainThreadWakeUp([window] {
    if (!Posted().exchange(true) && !::PostMessageW(window, kServeMessage, 0, 0)) Posted() = false;
  });
}

}  // namespace CPort::Platform
