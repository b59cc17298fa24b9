// boost.asio's serial_port as a contender, used the way asio programs use it:
// a chain of asynchronous operations whose handlers run in io_context::run()
// on the measuring thread. Receive chains async_read_some; send chains
// async_write of 4 KiB; a round trip starts an async_write of one byte and an
// async_read_some for the echo.
//
// A steady_timer looks at the progress once a second and fails the run after
// 10 s without any.
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <functional>
#include <memory>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

namespace asio = boost::asio;
using boost::system::error_code;

void Open(asio::serial_port& port, const std::string& path) {
  error_code error;
  port.open(path, error);
  if (error) Fail("boost.asio: open " + path + ": " + error.message());
  port.set_option(asio::serial_port::baud_rate(115200));
  port.set_option(asio::serial_port::character_size(8));
  port.set_option(asio::serial_port::parity(asio::serial_port::parity::none));
  port.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one));
  port.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none));
}

// Fails the run when `progress` stays the same for 10 s; stops once `done`.
class ProgressWatch {
 public:
  ProgressWatch(asio::io_context& io, std::function<std::uint64_t()> progress, std::string what)
      : timer_(io), progress_(std::move(progress)), what_(std::move(what)), seen_(progress_()), changed_(Clock::now()) {
    Arm();
  }
  void Stop() { timer_.cancel(); }

 private:
  void Arm() {
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([this](const error_code& error) {
      if (error) return;  // cancelled: done
      const std::uint64_t now = progress_();
      if (now != seen_) {
        seen_ = now;
        changed_ = Clock::now();
      } else if (Clock::now() - changed_ > std::chrono::milliseconds(kWaitLimitMs)) {
        Fail(what_ + ": no progress for 10 s");
      }
      Arm();
    });
  }

  asio::steady_timer timer_;
  std::function<std::uint64_t()> progress_;
  std::string what_;
  std::uint64_t seen_;
  Clock::time_point changed_;
};

}  // namespace

double AsioReceive(const Options& o, const Pattern& p) {
  const std::string name = "receive (boost.asio)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, Placement::Process);
  asio::io_context io;
  asio::serial_port port(io);
  Open(port, pty.SlavePath());
  std::vector<std::uint8_t> buffer(o.chunk);
  StreamCheck check(p, o.bulkBytes, name);
  ProgressWatch watch(io, [&] { return check.Received(); }, name);
  Clock::time_point end;
  std::function<void()> readNext = [&] {
    port.async_read_some(asio::buffer(buffer), [&](const error_code& error, std::size_t n) {
      if (error) Fail(name + ": " + error.message());
      check.Take(buffer.data(), n);
      if (check.Complete()) {
        end = Clock::now();
        watch.Stop();
        return;
      }
      readNext();
    });
  };
  const Clock::time_point start = Clock::now();
  far.Go();
  readNext();
  io.run();
  far.Finish();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double AsioSend(const Options& o, const Pattern& p) {
  const std::string name = "send (boost.asio)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  asio::io_context io;
  asio::serial_port port(io);
  Open(port, pty.SlavePath());
  std::uint64_t sent = 0;
  ProgressWatch watch(io, [&] { return sent; }, name);
  std::function<void()> writeNext = [&] {
    asio::async_write(port, asio::buffer(p.At(sent), o.chunk), [&](const error_code& error, std::size_t n) {
      if (error) Fail(name + ": " + error.message());
      sent += n;
      if (sent >= o.bulkBytes) {
        watch.Stop();
        return;
      }
      writeNext();
    });
  };
  const Clock::time_point start = Clock::now();
  far.Go();
  writeNext();
  io.run();
  const FarReport report = far.Finish();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

Trips AsioRoundTrips(const Options& o) {
  const std::string name = "round trips (boost.asio)";
  WatchdogScope dog(name, o.RunLimit());
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  asio::io_context io;
  asio::serial_port port(io);
  Open(port, pty.SlavePath());
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  int trip = 0;
  std::uint8_t out = 0;
  std::uint8_t back[64];
  Clock::time_point t0;
  ProgressWatch watch(io, [&] { return static_cast<std::uint64_t>(trip); }, name);
  std::function<void()> next = [&] {
    out = static_cast<std::uint8_t>(trip);
    t0 = Clock::now();
    asio::async_write(port, asio::buffer(&out, 1), [&](const error_code& error, std::size_t) {
      if (error) Fail(name + ": " + error.message());
    });
    port.async_read_some(asio::buffer(back), [&](const error_code& error, std::size_t n) {
      if (error) Fail(name + ": " + error.message());
      const Clock::time_point t1 = Clock::now();
      trips.cpus.push_back(CurrentCpu());
      Check(n == 1 && back[0] == out, name + ": the echo differs from the byte sent");
      if (trip >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      if (++trip == total) {
        watch.Stop();
        return;
      }
      next();
    });
  };
  far.Go();
  next();
  io.run();
  trips.far = far.Finish();
  return trips;
}

double AsioOpenClose(const Options& o) {
  WatchdogScope dog("open + close (boost.asio)", o.RunLimit());
  Pty pty;
  asio::io_context io;
  asio::serial_port port(io);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    Open(port, pty.SlavePath());
    port.close();
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

void HoldAsio(const std::vector<std::string>& paths, OpenedCallback opened) {
  asio::io_context io;
  std::vector<std::unique_ptr<asio::serial_port>> ports;
  std::vector<std::uint8_t> buffer(paths.size() * 64);
  for (const std::string& path : paths) {
    ports.push_back(std::make_unique<asio::serial_port>(io));
    Open(*ports.back(), path);
    // An open port has a read pending, as in a program that listens.
    ports.back()->async_read_some(asio::buffer(buffer.data() + 64 * (ports.size() - 1), 64),
                                  [](const error_code&, std::size_t) {});
    if (ports.size() == 1) {
      io.poll();
      opened(1);
    }
  }
  io.poll();
  opened(ports.size());
  for (auto& port : ports) port->close();
  io.poll();
}

}  // namespace bench
