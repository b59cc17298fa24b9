// libserialport as a contender, used the way its documentation shows: receive
// with sp_blocking_read_next (returns as soon as anything came), send with
// sp_blocking_write, wait for input with an event set and sp_wait.
//
// Two things stand between it and a pty slave:
// - sp_get_port_by_name("/dev/pts/N") fails: it looks the name after "/dev/"
//   up under /sys/class/tty/, where pty slaves have no entry. A path that
//   climbs out of /dev to a symbolic link of our own
//   ("/dev/../../../tmp/DIR/LINK", LINK pointing at the slave) makes that
//   lookup read our link, and the open then opens the slave (SpLink).
// - sp_open fails with ENOTTY from TIOCMGET: see
//   peer_libserialport_ioctl.cpp.
#include <libserialport.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

std::string gLinkDirectory;

const std::string& LinkDirectory() {
  static std::once_flag once;
  std::call_once(once, [] {
    char pattern[] = "/tmp/cport_bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) FailErrno("mkdtemp");
    gLinkDirectory = pattern;
    std::atexit([] { ::rmdir(gLinkDirectory.c_str()); });
  });
  return gLinkDirectory;
}

void Call(sp_return result, const std::string& what) {
  if (result >= 0) return;
  std::string message = "error " + std::to_string(static_cast<int>(result));
  if (result == SP_ERR_FAIL) {
    char* text = sp_last_error_message();
    message = text;
    sp_free_error_message(text);
  }
  Fail("libserialport: " + what + ": " + message);
}

// One libserialport port, configured as the other contenders are: 115200
// 8N1 (a pty ignores the rate), no flow control.
class SpPort {
 public:
  explicit SpPort(const std::string& path) { Call(sp_get_port_by_name(path.c_str(), &port_), "sp_get_port_by_name"); }
  ~SpPort() {
    if (open_) sp_close(port_);
    sp_free_port(port_);
  }
  SpPort(const SpPort&) = delete;
  SpPort& operator=(const SpPort&) = delete;
  void Open() {
    Call(sp_open(port_, SP_MODE_READ_WRITE), "sp_open");
    open_ = true;
    Call(sp_set_baudrate(port_, 115200), "sp_set_baudrate");
    Call(sp_set_bits(port_, 8), "sp_set_bits");
    Call(sp_set_parity(port_, SP_PARITY_NONE), "sp_set_parity");
    Call(sp_set_stopbits(port_, 1), "sp_set_stopbits");
    Call(sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE), "sp_set_flowcontrol");
  }
  void Close() {
    Call(sp_close(port_), "sp_close");
    open_ = false;
  }
  sp_port* Get() const { return port_; }

 private:
  sp_port* port_ = nullptr;
  bool open_ = false;
};

}  // namespace

SpLink::SpLink(const std::string& slave) {
  const std::size_t slash = slave.find_last_of('/');
  link_ = LinkDirectory() + "/pts" + slave.substr(slash + 1);
  ::unlink(link_.c_str());
  if (::symlink(slave.c_str(), link_.c_str()) != 0) FailErrno("symlink " + link_);
  path_ = "/dev/../../.." + link_;
}

SpLink::~SpLink() { ::unlink(link_.c_str()); }

double SpReceive(const Options& o, const Pattern& p) {
  WatchdogScope dog("receive (libserialport)", o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, Placement::Process);
  const SpLink link(pty.SlavePath());
  SpPort port(link.Path());
  port.Open();
  std::vector<std::uint8_t> buffer(o.chunk);
  StreamCheck check(p, o.bulkBytes, "receive (libserialport)");
  const Clock::time_point start = Clock::now();
  far.Go();
  while (!check.Complete()) {
    const sp_return n = sp_blocking_read_next(port.Get(), buffer.data(), buffer.size(), kWaitLimitMs);
    Call(n, "sp_blocking_read_next");
    if (n == 0) Fail("receive (libserialport): no data for 10 s");
    check.Take(buffer.data(), static_cast<std::size_t>(n));
  }
  const Clock::time_point end = Clock::now();
  far.Finish();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double SpSend(const Options& o, const Pattern& p) {
  WatchdogScope dog("send (libserialport)", o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  const SpLink link(pty.SlavePath());
  SpPort port(link.Path());
  port.Open();
  const Clock::time_point start = Clock::now();
  far.Go();
  for (std::uint64_t sent = 0; sent < o.bulkBytes; sent += o.chunk) {
    const sp_return n = sp_blocking_write(port.Get(), p.At(sent), o.chunk, kWaitLimitMs);
    Call(n, "sp_blocking_write");
    if (static_cast<std::size_t>(n) != o.chunk) Fail("send (libserialport): the far side took nothing for 10 s");
  }
  const FarReport report = far.Finish();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

Trips SpRoundTrips(const Options& o) {
  WatchdogScope dog("round trips (libserialport)", o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  const SpLink link(pty.SlavePath());
  SpPort port(link.Path());
  port.Open();
  sp_event_set* events = nullptr;
  Call(sp_new_event_set(&events), "sp_new_event_set");
  Call(sp_add_port_events(events, port.Get(), SP_EVENT_RX_READY), "sp_add_port_events");
  far.Go();
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    std::uint8_t back[64];
    const Clock::time_point t0 = Clock::now();
    Call(sp_blocking_write(port.Get(), &byte, 1, kWaitLimitMs), "sp_blocking_write");
    sp_return n = SP_OK;
    for (;;) {
      // sp_wait also returns SP_OK when its time is up: the read tells.
      Call(sp_wait(events, kWaitLimitMs), "sp_wait");
      n = sp_nonblocking_read(port.Get(), back, sizeof back);
      Call(n, "sp_nonblocking_read");
      if (n > 0) break;
      if (Clock::now() - t0 > std::chrono::milliseconds(kWaitLimitMs)) Fail("round trips (libserialport): no echo for 10 s");
    }
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    Check(n == 1 && back[0] == byte, "round trips (libserialport): the echo differs from the byte sent");
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  sp_free_event_set(events);
  trips.far = far.Finish();
  return trips;
}

namespace {

// One trip with the blocking calls: a byte out, then the first byte back.
void SpBlockingTrip(sp_port* port, std::uint8_t byte, const std::string& name) {
  Call(sp_blocking_write(port, &byte, 1, kWaitLimitMs), "sp_blocking_write");
  std::uint8_t back = 0;
  const sp_return n = sp_blocking_read_next(port, &back, 1, kWaitLimitMs);
  Call(n, "sp_blocking_read_next");
  if (n == 0) Fail(name + ": no echo for 10 s");
  Check(back == byte, name + ": the echo differs from the byte sent");
}

}  // namespace

Trips SpBlockingRoundTrips(const Options& o) {
  const std::string name = "round trips (libserialport, blocking)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  const SpLink link(pty.SlavePath());
  SpPort port(link.Path());
  port.Open();
  far.Go();
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < total; ++i) {
    const Clock::time_point t0 = Clock::now();
    SpBlockingTrip(port.Get(), static_cast<std::uint8_t>(i), name);
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    if (i >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  trips.far = far.Finish();
  return trips;
}

void SpBlockingTripLoop(const std::string& path, int trips, ReadyCallback ready) {
  const SpLink link(path);
  SpPort port(link.Path());
  port.Open();
  ready();
  for (int i = 0; i < trips; ++i) SpBlockingTrip(port.Get(), static_cast<std::uint8_t>(i), "trip loop (libserialport)");
}

double SpOpenClose(const Options& o) {
  WatchdogScope dog("open + close (libserialport)", o.RunLimit());
  Pty pty;
  const SpLink link(pty.SlavePath());
  SpPort port(link.Path());
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    port.Open();
    port.Close();
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

void HoldSp(const std::vector<std::string>& paths, OpenedCallback opened) {
  std::vector<std::unique_ptr<SpPort>> ports;
  for (const std::string& path : paths) {
    ports.push_back(std::make_unique<SpPort>(path));
    ports.back()->Open();
    if (ports.size() == 1) opened(1);
  }
  opened(ports.size());
}

}  // namespace bench
