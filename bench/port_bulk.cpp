// Bulk transfers through the port: receive in OnRxChar with
// ReceiveBytes(Count), send through SendText and through SendBytesAsync +
// AwaitTransfer, 4 KiB per call.
#include <algorithm>
#include <array>
#include <atomic>
#include <vector>

#include "port_setup.h"

namespace bench {

using namespace CPort;

namespace {

std::string SetupName(const PortSetup& setup) {
  std::string name = DeliveryName(setup.delivery);
  if (setup.queue > 0) name += ", queue " + std::to_string(setup.queue);
  if (setup.rxCharOnly) name += ", evRxChar only";
  return name;
}

}  // namespace

double PortReceive(const Options& o, const Pattern& p, const PortSetup& setup, Placement where) {
  const std::string name =
      "receive (port, " + SetupName(setup) + ", far side a " + PlacementName(where) + ")";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, where);
  TComPort port;
  ApplySetup(port, pty.SlavePath(), setup);
  std::vector<std::uint8_t> buffer(65536);
  StreamCheck check(p, o.bulkBytes, name);
  std::atomic<std::uint64_t> received{0};
  Signal completed;
  Clock::time_point end;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    Guarded(name, [&] {
      while (count > 0) {
        const std::int32_t want = std::min<std::int32_t>(count, static_cast<std::int32_t>(buffer.size()));
        const std::int32_t n = port.ReceiveBytes(buffer.data(), want);
        if (n <= 0) break;
        check.Take(buffer.data(), static_cast<std::size_t>(n));
        count -= n;
      }
      if (check.Complete()) end = Clock::now();
      received.store(check.Received(), std::memory_order_release);
      if (check.Complete()) completed.Raise();
    });
  };
  port.OpenPort();
  const Clock::time_point start = Clock::now();
  far.Go();
  AwaitHandlers(
      setup.delivery, completed, [&] { return received.load(std::memory_order_acquire) == o.bulkBytes; },
      [&] { return received.load(std::memory_order_acquire); }, name);
  far.Finish();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double PortSendText(const Options& o, const Pattern& p) {
  WatchdogScope dog("send (SendText)", o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.OpenPort();
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  const Clock::time_point start = Clock::now();
  far.Go();
  for (std::uint64_t i = 0; i < chunks; ++i) {
    const std::int32_t n = port.SendText(p.ChunkText(i));
    if (n != static_cast<std::int32_t>(o.chunk)) {
      Fail("send (SendText): a call wrote " + std::to_string(n) + " of " + std::to_string(o.chunk) + " bytes");
    }
  }
  const FarReport report = far.Finish();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

double PortSendAsync(const Options& o, const Pattern& p) {
  WatchdogScope dog("send (SendBytesAsync)", o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.OpenPort();
  constexpr int kDepth = 2;
  std::array<TransferRecord*, kDepth> records{};
  for (TransferRecord*& record : records) port.CreateTransferRecord(record);
  std::array<std::int32_t, kDepth> started{};
  auto await = [&](int i) {
    const std::int32_t n = port.AwaitTransfer(records[i]);
    if (n != started[i]) {
      Fail("send (SendBytesAsync): a write moved " + std::to_string(n) + " of " + std::to_string(started[i]) +
           " bytes");
    }
    started[i] = 0;
  };
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  const Clock::time_point start = Clock::now();
  far.Go();
  // Double-buffered: the next write is queued while the previous one runs.
  for (std::uint64_t c = 0; c < chunks; ++c) {
    const int i = static_cast<int>(c % kDepth);
    if (started[i] != 0) await(i);
    started[i] = static_cast<std::int32_t>(o.chunk);
    port.SendBytesAsync(p.At(c * o.chunk), started[i], records[i]);
  }
  for (int i = 0; i < kDepth; ++i) {
    if (started[i] != 0) await(i);
  }
  const FarReport report = far.Finish();
  for (TransferRecord*& record : records) port.ReleaseTransferRecord(record);
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

}  // namespace bench
