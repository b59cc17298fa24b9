// The port used the simplest way, as a console program talks to a device:
// no events armed, every call blocking on the calling thread. SendText
// writes; ReceiveBytes reads with the timeouts that mean "return at the
// first byte" (interval and multiplier MAXDWORD, a constant limit). The
// counterpart of libserialport's blocking calls.
#include <algorithm>
#include <vector>

#include "port_setup.h"

namespace bench {

using namespace CPort;

namespace {

// No events, and reads that return as soon as anything is there (after
// 10 s at most).
void OpenBlocking(TComPort& port, const std::string& path) {
  port.SetPort(path);
  port.SetEvents({});
  port.Timeouts().SetReadInterval(-1);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(kWaitLimitMs);
  port.OpenPort();
}

// One trip: a byte out, the echo back.
void Trip(TComPort& port, std::uint8_t byte, const std::string& name) {
  const char out = static_cast<char>(byte);
  if (port.SendText(std::string(1, out)) != 1) Fail(name + ": SendText");
  char back = 0;
  if (port.ReceiveBytes(&back, 1) != 1) Fail(name + ": no echo within 10 s");
  Check(static_cast<std::uint8_t>(back) == byte, name + ": the echo differs from the byte sent");
}

}  // namespace

double PortBlockingReceive(const Options& o, const Pattern& p) {
  const std::string name = "receive (port, blocking ReceiveBytes)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, Placement::Process);
  TComPort port;
  OpenBlocking(port, pty.SlavePath());
  std::vector<std::uint8_t> buffer(o.chunk);
  StreamCheck check(p, o.bulkBytes, name);
  const Clock::time_point start = Clock::now();
  far.Go();
  while (!check.Complete()) {
    const std::int32_t n = port.ReceiveBytes(buffer.data(), static_cast<std::int32_t>(buffer.size()));
    if (n <= 0) Fail(name + ": no data for 10 s");
    check.Take(buffer.data(), static_cast<std::size_t>(n));
  }
  const Clock::time_point end = Clock::now();
  far.Finish();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double PortBlockingSend(const Options& o, const Pattern& p) {
  const std::string name = "send (port, SendText, no events)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  TComPort port;
  OpenBlocking(port, pty.SlavePath());
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  const Clock::time_point start = Clock::now();
  far.Go();
  for (std::uint64_t i = 0; i < chunks; ++i) {
    const std::int32_t n = port.SendText(p.ChunkText(i));
    if (n != static_cast<std::int32_t>(o.chunk)) {
      Fail(name + ": a call wrote " + std::to_string(n) + " of " + std::to_string(o.chunk) + " bytes");
    }
  }
  const FarReport report = far.Finish();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

Trips PortBlockingRoundTrips(const Options& o) {
  const std::string name = "round trips (port, blocking)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  TComPort port;
  OpenBlocking(port, pty.SlavePath());
  far.Go();
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const Clock::time_point t0 = Clock::now();
    Trip(port, static_cast<std::uint8_t>(i), name);
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  trips.far = far.Finish();
  port.ClosePort();
  return trips;
}

void PortBlockingTripLoop(const std::string& path, int trips, ReadyCallback ready) {
  const std::string name = "trip loop (port, blocking)";
  TComPort port;
  OpenBlocking(port, path);
  ready();
  for (int i = 0; i < trips; ++i) Trip(port, static_cast<std::uint8_t>(i), name);
  port.ClosePort();
}

}  // namespace bench
