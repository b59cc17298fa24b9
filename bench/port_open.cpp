// Opening ports: OpenPort + ClosePort cycles at the port's defaults (all ten
// events armed, so each cycle starts and stops the event thread), and many
// ports held open for the threads-and-memory row.
#include <memory>
#include <vector>

#include "CPort/runtime/MainThread.h"
#include "port_setup.h"

namespace bench {

using namespace CPort;

double PortOpenClose(const Options& o) {
  WatchdogScope dog("open + close (port)", o.RunLimit());
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.OnRxChar = [](TComponent*, std::int32_t) {};
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    port.OpenPort();
    Check(port.Connected(), "open + close (port): OpenPort left the port closed");
    port.ClosePort();
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

void HoldPort(const std::vector<std::string>& paths, OpenedCallback opened) {
  std::vector<std::unique_ptr<TComPort>> open;
  for (const std::string& path : paths) {
    auto port = std::make_unique<TComPort>();
    port->SetPort(path);
    port->OnRxChar = [](TComponent*, std::int32_t) {};
    port->OpenPort();
    open.push_back(std::move(port));
    if (open.size() == 1) {
      // Let the event thread reach its wait.
      Runtime::WaitAndServeMainThreadQueue(std::chrono::milliseconds(20));
      opened(1);
    }
  }
  Runtime::WaitAndServeMainThreadQueue(std::chrono::milliseconds(20));
  Runtime::ServeMainThreadQueue();
  opened(open.size());
  for (auto& port : open) port->ClosePort();
}

}  // namespace bench
