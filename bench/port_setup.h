// The port contenders' shared steps: configuring a port as a contender uses
// it, and waiting for its handlers to have seen everything.
#pragma once

#include <functional>
#include <string>

#include "CPort/ComPort.h"
#include "bench.h"

namespace bench {

// Sets the device path and what `setup` changes from the defaults.
void ApplySetup(CPort::TComPort& port, const std::string& path, const PortSetup& setup);

// Waits until `done` holds. Under smThreadSync and smWindowSync the calling
// (main) thread serves the hand-over queue meanwhile, as a console program's
// loop does; under smNone it sleeps on `completed`, which the handler raises
// once `done` holds. Fails the run when `progress` stays the same for 10 s.
void AwaitHandlers(Delivery delivery, Signal& completed, const std::function<bool()>& done,
                   const std::function<std::uint64_t()>& progress, const std::string& what);

// Runs a handler's body; a failure in it fails the run (on the event thread
// it would otherwise end delivery without a word).
template <typename F>
void Guarded(const std::string& where, F&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    Fail(where + ": " + e.what());
  }
}

}  // namespace bench
