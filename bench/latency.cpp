// Event round trips through the port: it sends one byte, the far side echoes
// it, and the time until OnRxChar has read it back is one sample. The delivery
// methods differ in where the handler runs: on the event thread (smNone), on
// the main thread through the hand-over queue (smThreadSync), or through the
// per-port message channel to the main thread (smWindowSync). The main thread
// serves the queue with WaitAndServeMainThreadQueue, as a console program's
// loop does.
#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <string>
#include <thread>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "bench.h"

namespace bench {

using namespace CPort;

std::vector<double> PortRoundTrips(const Options& o, LatencyKind kind) {
  const char* name = kind == LatencyKind::SyncNone     ? "round trips (smNone)"
                     : kind == LatencyKind::SyncThread ? "round trips (smThreadSync)"
                                                       : "round trips (smWindowSync)";
  WatchdogScope dog(name, std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetSyncMethod(kind == LatencyKind::SyncNone ? smNone : kind == LatencyKind::SyncThread ? smThreadSync : smWindowSync);
  port.SetEvents(TComEvents{evRxChar});

  std::array<std::string, 256> bytes;
  for (int i = 0; i < 256; ++i) bytes[static_cast<std::size_t>(i)] = std::string(1, static_cast<char>(i));

  // Written by the handler; `last` and `arrived` are published by the
  // release store of `received`.
  std::atomic<std::uint64_t> received{0};
  std::uint8_t last = 0;
  Clock::time_point arrived;
  Signal handedBack;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    try {
      std::uint8_t buffer[64];
      const std::int32_t n = port.ReceiveBytes(buffer, std::min<std::int32_t>(count, sizeof buffer));
      if (n <= 0) return;
      arrived = Clock::now();
      last = buffer[n - 1];
      received.store(received.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(n),
                     std::memory_order_release);
    } catch (const std::exception& e) {
      Fail(std::string(name) + ": " + e.what());
    }
    if (kind == LatencyKind::SyncNone) handedBack.Raise();
  };
  port.OpenPort();

  const int total = o.warmupTrips + o.roundTrips;
  std::thread far([&] { FarEcho(pty.Master(), static_cast<std::uint64_t>(total)); });
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const std::uint64_t expected = static_cast<std::uint64_t>(i) + 1;
    const Clock::time_point t0 = Clock::now();
    if (port.SendText(bytes[static_cast<std::size_t>(i & 0xFF)]) != 1) Fail(std::string(name) + ": SendText");
    const Clock::time_point deadline = t0 + std::chrono::milliseconds(kWaitLimitMs);
    if (kind == LatencyKind::SyncNone) {
      // A flag raised for a round trip already seen through the count is
      // taken by a later wait; the count decides.
      while (received.load(std::memory_order_acquire) < expected) {
        if (!handedBack.WaitUntil(deadline)) Fail(std::string(name) + ": no echo within 10 s");
      }
    } else {
      while (received.load(std::memory_order_acquire) < expected) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) Fail(std::string(name) + ": no echo within 10 s");
        Runtime::WaitAndServeMainThreadQueue(left);
      }
    }
    Check(received.load(std::memory_order_acquire) == expected && last == static_cast<std::uint8_t>(i),
          std::string(name) + ": the echo differs from the byte sent");
    if (i >= o.warmupTrips) micros.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
  }
  far.join();
  port.ClosePort();
  return micros;
}

}  // namespace bench
