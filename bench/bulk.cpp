// Bulk transfers through the port: receive through OnRxChar + ReceiveBytes
// and through overlapped reads, send through SendText and through
// SendBytesAsync + AwaitTransfer.
#include <algorithm>
#include <array>
#include <exception>
#include <thread>
#include <vector>

#include "CPort/ComPort.h"
#include "bench.h"

namespace bench {

using namespace CPort;

namespace {

double MiBPerSecond(std::uint64_t bytes, Clock::duration took) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(took).count();
}

// A port on the pty's slave with the given delivery and events.
void Configure(TComPort& port, const Pty& pty, TSyncMethod sync, TComEvents events, const Options& o) {
  port.SetPort(pty.SlavePath());
  port.SetSyncMethod(sync);
  port.SetEvents(events);
  port.SetBaudRate(br115200);  // a pty ignores the rate
  port.Buffer().SetInputSize(o.queueSize);
  port.Buffer().SetOutputSize(o.queueSize);
}

// A failure in a handler on the event thread must not just end delivery.
template <typename F>
void Guarded(const char* where, F&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    Fail(std::string(where) + ": " + e.what());
  }
}

}  // namespace

double PortReceiveRxChar(const Options& o, const Pattern& p) {
  WatchdogScope dog("bulk receive (OnRxChar)", std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  Configure(port, pty, smNone, TComEvents{evRxChar}, o);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(o.queueSize));
  StreamCheck check(p, o.bulkBytes, "bulk receive (OnRxChar)");
  Signal done;
  Clock::time_point end;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    Guarded("bulk receive (OnRxChar)", [&] {
      while (count > 0) {
        const std::int32_t want = std::min<std::int32_t>(count, static_cast<std::int32_t>(buffer.size()));
        const std::int32_t n = port.ReceiveBytes(buffer.data(), want);
        if (n <= 0) break;
        check.Take(buffer.data(), static_cast<std::size_t>(n));
        count -= n;
      }
      if (check.Complete()) {
        end = Clock::now();
        done.Raise();
      }
    });
  };
  port.OpenPort();
  const Clock::time_point start = Clock::now();
  std::thread far([&] { FarWrite(pty.Master(), p, o.bulkBytes, o.chunk); });
  // The far side fails the run when nothing moves for 10 s; this wait only
  // bounds the whole transfer.
  if (!done.WaitUntil(Clock::now() + std::chrono::seconds(240))) {
    Fail("bulk receive (OnRxChar): " + std::to_string(check.Received()) + " of " + std::to_string(o.bulkBytes) +
         " bytes arrived");
  }
  far.join();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double PortReceiveOverlapped(const Options& o, const Pattern& p) {
  WatchdogScope dog("bulk receive (overlapped reads)", std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  Configure(port, pty, smNone, TComEvents{}, o);
  // Complete as soon as anything is there, like poll + read; wait at most
  // the benchmark's wait limit for the first byte.
  port.Timeouts().SetReadInterval(-1);
  port.Timeouts().SetReadTotalMultiplier(-1);
  port.Timeouts().SetReadTotalConstant(kWaitLimitMs);
  port.OpenPort();

  // Two reads in flight: one fills while the other is checked.
  constexpr int kDepth = 2;
  std::array<TransferRecord*, kDepth> records{};
  std::array<std::vector<std::uint8_t>, kDepth> buffers;
  std::array<std::int32_t, kDepth> asked{};
  for (int i = 0; i < kDepth; ++i) {
    port.CreateTransferRecord(records[i]);
    buffers[i].resize(o.chunk);
  }
  StreamCheck check(p, o.bulkBytes, "bulk receive (overlapped reads)");
  std::uint64_t requested = 0;  // bytes asked for by reads started so far, minus shortfalls
  auto start_read = [&](int i) {
    const std::uint64_t left = o.bulkBytes - requested;
    asked[i] = static_cast<std::int32_t>(std::min<std::uint64_t>(o.chunk, left));
    if (asked[i] == 0) return;
    requested += static_cast<std::uint64_t>(asked[i]);
    port.ReceiveBytesAsync(buffers[i].data(), asked[i], records[i]);
  };
  const Clock::time_point start = Clock::now();
  std::thread far([&] { FarWrite(pty.Master(), p, o.bulkBytes, o.chunk); });
  for (int i = 0; i < kDepth; ++i) start_read(i);
  // Reads complete in the order they were started.
  for (int i = 0; !check.Complete(); i = (i + 1) % kDepth) {
    if (asked[i] == 0) continue;
    const std::int32_t n = port.AwaitTransfer(records[i]);
    if (n <= 0) Fail("bulk receive (overlapped reads): a read brought nothing within 10 s");
    check.Take(buffers[i].data(), static_cast<std::size_t>(n));
    requested -= static_cast<std::uint64_t>(asked[i] - n);
    asked[i] = 0;
    start_read(i);
  }
  const Clock::time_point end = Clock::now();
  far.join();
  for (TransferRecord*& record : records) port.ReleaseTransferRecord(record);
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double PortSendText(const Options& o, const Pattern& p) {
  WatchdogScope dog("bulk send (SendText)", std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  Configure(port, pty, smNone, TComEvents{}, o);
  port.OpenPort();
  Clock::time_point drained;
  std::thread far([&] { drained = FarDrain(pty.Master(), p, o.bulkBytes); });
  const Clock::time_point start = Clock::now();
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  for (std::uint64_t i = 0; i < chunks; ++i) {
    const std::int32_t n = port.SendText(p.ChunkText(i));
    if (n != static_cast<std::int32_t>(o.chunk)) {
      Fail("bulk send (SendText): a call wrote " + std::to_string(n) + " of " + std::to_string(o.chunk) + " bytes");
    }
  }
  far.join();
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, drained - start);
}

double PortSendAsync(const Options& o, const Pattern& p) {
  WatchdogScope dog("bulk send (SendBytesAsync)", std::chrono::seconds(300));
  Pty pty;
  TComPort port;
  Configure(port, pty, smNone, TComEvents{}, o);
  port.OpenPort();
  constexpr int kDepth = 2;
  std::array<TransferRecord*, kDepth> records{};
  for (TransferRecord*& record : records) port.CreateTransferRecord(record);
  std::array<std::int32_t, kDepth> started{};
  auto await = [&](int i) {
    const std::int32_t n = port.AwaitTransfer(records[i]);
    if (n != started[i]) {
      Fail("bulk send (SendBytesAsync): a write moved " + std::to_string(n) + " of " + std::to_string(started[i]) +
           " bytes");
    }
    started[i] = 0;
  };
  Clock::time_point drained;
  std::thread far([&] { drained = FarDrain(pty.Master(), p, o.bulkBytes); });
  const Clock::time_point start = Clock::now();
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  // Double-buffered: the next write is queued while the previous one runs.
  for (std::uint64_t c = 0; c < chunks; ++c) {
    const int i = static_cast<int>(c % kDepth);
    await(i);
    started[i] = static_cast<std::int32_t>(o.chunk);
    port.SendBytesAsync(p.At(c * o.chunk), started[i], records[i]);
  }
  for (int i = 0; i < kDepth; ++i) await(i);
  far.join();
  for (TransferRecord*& record : records) port.ReleaseTransferRecord(record);
  port.ClosePort();
  return MiBPerSecond(o.bulkBytes, drained - start);
}

}  // namespace bench
