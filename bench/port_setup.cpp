// The port contenders' shared steps.
#include "port_setup.h"

#include "CPort/runtime/MainThread.h"

namespace bench {

using namespace CPort;

const char* DeliveryName(Delivery d) {
  switch (d) {
    case Delivery::None: return "smNone";
    case Delivery::Thread: return "smThreadSync";
    case Delivery::Window: return "smWindowSync";
  }
  return "?";
}

void ApplySetup(TComPort& port, const std::string& path, const PortSetup& setup) {
  port.SetPort(path);
  port.SetSyncMethod(setup.delivery == Delivery::None     ? smNone
                     : setup.delivery == Delivery::Thread ? smThreadSync
                                                          : smWindowSync);
  if (setup.rxCharOnly) port.SetEvents(TComEvents{evRxChar});
  if (setup.queue > 0) {
    port.Buffer().SetInputSize(setup.queue);
    port.Buffer().SetOutputSize(setup.queue);
  }
}

void AwaitHandlers(Delivery delivery, Signal& completed, const std::function<bool()>& done,
                   const std::function<std::uint64_t()>& progress, const std::string& what) {
  const auto stall = std::chrono::milliseconds(kWaitLimitMs);
  std::uint64_t seen = progress();
  Clock::time_point deadline = Clock::now() + stall;
  while (!done()) {
    const Clock::time_point now = Clock::now();
    const std::uint64_t current = progress();
    if (current != seen) {
      seen = current;
      deadline = now + stall;
    } else if (now >= deadline) {
      Fail(what + ": nothing arrived for " + std::to_string(kWaitLimitMs / 1000) + " s after " +
           std::to_string(current) + " bytes");
    }
    // Look at the progress once a second; the wait ends at once when done.
    const Clock::time_point until = std::min(deadline, now + std::chrono::seconds(1));
    if (delivery == Delivery::None) {
      completed.WaitUntil(until);
    } else {
      Runtime::WaitAndServeMainThreadQueue(std::chrono::duration_cast<std::chrono::milliseconds>(until - now) +
                                           std::chrono::milliseconds(1));
    }
  }
}

}  // namespace bench
