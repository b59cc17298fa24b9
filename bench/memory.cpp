// Peak RSS of a process that holds N open ports (child mode "rss-port"),
// next to one that holds N raw pty descriptors (raw_posix.cpp). Each count
// runs in a fresh process; VmHWM is the kernel's high-water mark of its RSS.
#include <cstdio>
#include <memory>
#include <vector>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "bench.h"

namespace bench {

int ChildRssPort(int ports) {
  using namespace CPort;
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::unique_ptr<TComPort>> open;
  for (int i = 0; i < ports; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    auto port = std::make_unique<TComPort>();
    port->SetPort(ptys.back()->SlavePath());
    port->SetEvents(kAllComEvents);
    port->OnRxChar = [](TComponent*, std::int32_t) {};
    port->OpenPort();
    open.push_back(std::move(port));
  }
  // Let every event thread reach its wait.
  Runtime::WaitAndServeMainThreadQueue(std::chrono::milliseconds(50));
  Runtime::ServeMainThreadQueue();
  std::printf("hwm_kib=%ld rss_kib=%ld\n", ProcStatusKiB("VmHWM:"), ProcStatusKiB("VmRSS:"));
  std::fflush(stdout);
  for (auto& port : open) port->ClosePort();
  return 0;
}

}  // namespace bench
