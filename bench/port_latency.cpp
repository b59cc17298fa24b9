// Event round trips through the port: it sends one byte with SendText, the far
// side echoes it, and the time until OnRxChar has read it back is one sample.
// The delivery methods differ in where the handler runs: on the event thread
// (smNone), on the main thread through the hand-over queue (smThreadSync), or
// through the per-port message channel to the main thread (smWindowSync). The
// main thread serves the queue with WaitAndServeMainThreadQueue, as a console
// program's loop does.
#include <algorithm>
#include <array>
#include <atomic>
#include <string>

#include "CPort/runtime/MainThread.h"
#include "port_setup.h"

namespace bench {

using namespace CPort;

Trips PortRoundTrips(const Options& o, const PortSetup& setup, Placement where) {
  const std::string name = std::string("round trips (port, ") + DeliveryName(setup.delivery) + ", far side a " +
                           PlacementName(where) + ")";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, where);
  TComPort port;
  ApplySetup(port, pty.SlavePath(), setup);

  std::array<std::string, 256> bytes;
  for (int i = 0; i < 256; ++i) bytes[static_cast<std::size_t>(i)] = std::string(1, static_cast<char>(i));

  // Written by the handler; `last` and `arrived` are published by the
  // release store of `received`.
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  trips.cpus.reserve(static_cast<std::size_t>(o.roundTrips + o.warmupTrips));
  std::atomic<std::uint64_t> received{0};
  std::uint8_t last = 0;
  Clock::time_point arrived;
  Signal handedBack;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    Guarded(name, [&] {
      std::uint8_t buffer[64];
      const std::int32_t n = port.ReceiveBytes(buffer, std::min<std::int32_t>(count, sizeof buffer));
      if (n <= 0) return;
      arrived = Clock::now();
      trips.cpus.push_back(CurrentCpu());
      last = buffer[n - 1];
      received.store(received.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(n),
                     std::memory_order_release);
    });
    if (setup.delivery == Delivery::None) handedBack.Raise();
  };
  port.OpenPort();
  far.Go();

  for (int i = 0; i < total; ++i) {
    const std::uint64_t expected = static_cast<std::uint64_t>(i) + 1;
    const Clock::time_point t0 = Clock::now();
    if (port.SendText(bytes[static_cast<std::size_t>(i & 0xFF)]) != 1) Fail(name + ": SendText");
    const Clock::time_point deadline = t0 + std::chrono::milliseconds(kWaitLimitMs);
    if (setup.delivery == Delivery::None) {
      // A flag raised for a round trip already seen through the count is
      // taken by a later wait; the count decides.
      while (received.load(std::memory_order_acquire) < expected) {
        if (!handedBack.WaitUntil(deadline)) Fail(name + ": no echo within 10 s");
      }
    } else {
      while (received.load(std::memory_order_acquire) < expected) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) Fail(name + ": no echo within 10 s");
        Runtime::WaitAndServeMainThreadQueue(left);
      }
    }
    Check(received.load(std::memory_order_acquire) == expected && last == static_cast<std::uint8_t>(i),
          name + ": the echo differs from the byte sent");
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
  }
  trips.far = far.Finish();
  port.ClosePort();
  return trips;
}

// The same trips with no far side of its own and nothing measured: what a
// tracer counts the system calls of (see trip_syscalls.cpp).
void PortEventTripLoop(const std::string& path, int trips, const PortSetup& setup, ReadyCallback ready) {
  const std::string name = std::string("trip loop (port, ") + DeliveryName(setup.delivery) + ")";
  TComPort port;
  ApplySetup(port, path, setup);
  std::atomic<int> received{0};
  std::uint8_t last = 0;
  Signal handedBack;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    Guarded(name, [&] {
      std::uint8_t buffer[64];
      const std::int32_t n = port.ReceiveBytes(buffer, std::min<std::int32_t>(count, sizeof buffer));
      if (n <= 0) return;
      last = buffer[n - 1];
      received.store(received.load(std::memory_order_relaxed) + n, std::memory_order_release);
    });
    if (setup.delivery == Delivery::None) handedBack.Raise();
  };
  port.OpenPort();
  ready();
  for (int i = 0; i < trips; ++i) {
    if (port.SendText(std::string(1, static_cast<char>(i))) != 1) Fail(name + ": SendText");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (received.load(std::memory_order_acquire) < i + 1) {
      if (setup.delivery == Delivery::None) {
        if (!handedBack.WaitUntil(deadline)) Fail(name + ": no echo within 10 s");
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) Fail(name + ": no echo within 10 s");
        Runtime::WaitAndServeMainThreadQueue(left);
      }
    }
    Check(last == static_cast<std::uint8_t>(i), name + ": the echo differs from the byte sent");
  }
  port.ClosePort();
}

}  // namespace bench
