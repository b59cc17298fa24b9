// Many ports receiving at once: one far process writes to every pty at the
// same time; the receiving process's CPU time over the transfer, per MiB, is
// the figure. The raw contender reads all descriptors in one poll loop; the
// port contender opens one port per pty at its defaults and reads in
// OnRxChar. Every byte of every stream is checked, so a lost byte fails the
// run.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include "port_setup.h"

namespace bench {

using namespace CPort;

namespace {

struct Ptys {
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<int> masters;
  explicit Ptys(int count) {
    for (int i = 0; i < count; ++i) {
      ptys.push_back(std::make_unique<Pty>());
      masters.push_back(ptys.back()->Master());
    }
  }
};

ManyResult Result(const Options& o, const Usage& used, Clock::duration took) {
  const double mib = static_cast<double>(o.manyBytesEach) * o.manyPorts / (1024.0 * 1024.0);
  return ManyResult{used.cpuMicros / 1000.0 / mib, used.switches / mib,
                    mib / std::chrono::duration<double>(took).count()};
}

}  // namespace

ManyResult RawManyReceive(const Options& o, const Pattern& p) {
  const std::string name = "many ports receiving (raw)";
  WatchdogScope dog(name, o.RunLimit());
  Ptys ptys(o.manyPorts);
  FarSide far(ptys.masters, {FarJob::Kind::WriteMany, o.manyBytesEach, o.chunk}, Placement::Process);
  std::vector<int> fds;
  std::vector<StreamCheck> checks;
  for (const auto& pty : ptys.ptys) {
    fds.push_back(pty->OpenSlaveRaw());
    checks.emplace_back(p, o.manyBytesEach, name + " " + pty->SlavePath());
  }
  std::vector<std::uint8_t> buffer(o.chunk);
  std::vector<pollfd> polled;
  std::vector<std::size_t> index;
  const UsageMeter meter;
  const Clock::time_point start = Clock::now();
  far.Go();
  for (;;) {
    polled.clear();
    index.clear();
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (checks[i].Complete()) continue;
      polled.push_back(pollfd{fds[i], POLLIN, 0});
      index.push_back(i);
    }
    if (polled.empty()) break;
    const int ready = ::poll(polled.data(), polled.size(), kWaitLimitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) FailErrno(name + ": poll");
    if (ready == 0) Fail(name + ": no data for 10 s");
    for (std::size_t k = 0; k < polled.size(); ++k) {
      if (polled[k].revents == 0) continue;
      if (!(polled[k].revents & POLLIN)) Fail(name + ": hang-up or error");
      const ssize_t n = ::read(polled[k].fd, buffer.data(), buffer.size());
      if (n > 0) checks[index[k]].Take(buffer.data(), static_cast<std::size_t>(n));
      else if (n == 0 || (errno != EAGAIN && errno != EINTR)) FailErrno(name + ": read");
    }
  }
  const Clock::time_point end = Clock::now();
  const Usage used = meter.Read();
  far.Finish();
  for (int fd : fds) ::close(fd);
  return Result(o, used, end - start);
}

ManyResult PortManyReceive(const Options& o, const Pattern& p, Delivery delivery) {
  const std::string name = std::string("many ports receiving (port, ") + DeliveryName(delivery) + ")";
  WatchdogScope dog(name, o.RunLimit());
  Ptys ptys(o.manyPorts);
  FarSide far(ptys.masters, {FarJob::Kind::WriteMany, o.manyBytesEach, o.chunk}, Placement::Process);
  struct Receiver {
    TComPort port;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536);
    std::unique_ptr<StreamCheck> check;
  };
  std::vector<std::unique_ptr<Receiver>> receivers;
  std::atomic<std::uint64_t> received{0};
  std::atomic<int> complete{0};
  Signal allComplete;
  PortSetup setup;
  setup.delivery = delivery;
  for (const auto& pty : ptys.ptys) {
    receivers.push_back(std::make_unique<Receiver>());
    Receiver& r = *receivers.back();
    r.check = std::make_unique<StreamCheck>(p, o.manyBytesEach, name + " " + pty->SlavePath());
    ApplySetup(r.port, pty->SlavePath(), setup);
    r.port.OnRxChar = [&, rp = &r](TComponent*, std::int32_t count) {
      Guarded(name, [&] {
        while (count > 0) {
          const std::int32_t want = std::min<std::int32_t>(count, static_cast<std::int32_t>(rp->buffer.size()));
          const std::int32_t n = rp->port.ReceiveBytes(rp->buffer.data(), want);
          if (n <= 0) break;
          rp->check->Take(rp->buffer.data(), static_cast<std::size_t>(n));
          received.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
          count -= n;
          if (rp->check->Complete() && complete.fetch_add(1, std::memory_order_acq_rel) + 1 == o.manyPorts) {
            allComplete.Raise();
          }
        }
      });
    };
    r.port.OpenPort();
  }
  const UsageMeter meter;
  const Clock::time_point start = Clock::now();
  far.Go();
  AwaitHandlers(
      delivery, allComplete, [&] { return complete.load(std::memory_order_acquire) == o.manyPorts; },
      [&] { return received.load(std::memory_order_relaxed); }, name);
  const Clock::time_point end = Clock::now();
  const Usage used = meter.Read();
  far.Finish();
  for (auto& r : receivers) r->port.ClosePort();
  return Result(o, used, end - start);
}

}  // namespace bench
