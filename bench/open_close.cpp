// OpenPort + ClosePort cycles per second, with all events armed, so that
// each cycle starts and stops the port's event thread (and the platform
// layer's engine thread).
#include "CPort/ComPort.h"
#include "bench.h"

namespace bench {

double PortOpenClose(const Options& o) {
  using namespace CPort;
  WatchdogScope dog("open + close (port)", std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetEvents(kAllComEvents);
  port.OnRxChar = [](TComponent*, std::int32_t) {};
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    port.OpenPort();
    Check(port.Connected(), "open + close (port): OpenPort left the port closed");
    port.ClosePort();
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace bench
