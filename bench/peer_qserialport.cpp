// QSerialPort as a contender, used the way Qt programs use it: signals and
// slots in a running event loop. Receive reads everything in readyRead with
// readAll; send keeps up to two 4 KiB writes queued, topping up in
// bytesWritten; a round trip writes one byte and takes the echo in readyRead.
//
// What it needs that the others do not: a QCoreApplication with its loop
// running (write() only queues; the loop does the writing), and a lock file
// (/var/lock/LCK..pts_N, written at open, removed at close). Its default timers
// are coarse (they may fire up to 5% early); the progress timer here is
// precise.
#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

void EnsureApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "cport_bench";
  static char* argv[] = {name, nullptr};
  // Lives until the process ends.
  new QCoreApplication(argc, argv);
}

// A port opened the way the other contenders open theirs: 115200 8N1, no
// flow control (a pty ignores the rate).
void Open(QSerialPort& port, const std::string& path) {
  port.setPortName(QString::fromStdString(path));
  port.setBaudRate(115200);
  port.setDataBits(QSerialPort::Data8);
  port.setParity(QSerialPort::NoParity);
  port.setStopBits(QSerialPort::OneStop);
  port.setFlowControl(QSerialPort::NoFlowControl);
  if (!port.open(QIODevice::ReadWrite)) Fail("QSerialPort: open " + path + ": " + port.errorString().toStdString());
}

// Fails the run when an error is reported.
void FailOnError(QSerialPort& port, const std::string& what) {
  QObject::connect(&port, &QSerialPort::errorOccurred, [&port, what](QSerialPort::SerialPortError error) {
    if (error != QSerialPort::NoError) Fail(what + ": " + port.errorString().toStdString());
  });
}

// Runs the loop until `done` quits it; fails the run when `progress` stays
// the same for 10 s (looked at once a second).
void RunLoop(QEventLoop& loop, const std::function<std::uint64_t()>& progress, const std::string& what) {
  QTimer watch;
  watch.setTimerType(Qt::PreciseTimer);
  watch.setInterval(1000);
  std::uint64_t seen = progress();
  Clock::time_point changed = Clock::now();
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const std::uint64_t now = progress();
    if (now != seen) {
      seen = now;
      changed = Clock::now();
    } else if (Clock::now() - changed > std::chrono::milliseconds(kWaitLimitMs)) {
      Fail(what + ": no progress for 10 s");
    }
  });
  watch.start();
  loop.exec();
}

}  // namespace

double QtReceive(const Options& o, const Pattern& p) {
  const std::string name = "receive (QSerialPort)";
  WatchdogScope dog(name, o.RunLimit());
  EnsureApplication();
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Write, o.bulkBytes, o.chunk}, Placement::Process);
  QSerialPort port;
  Open(port, pty.SlavePath());
  FailOnError(port, name);
  StreamCheck check(p, o.bulkBytes, name);
  QEventLoop loop;
  Clock::time_point end;
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    const QByteArray data = port.readAll();
    check.Take(reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size()));
    if (check.Complete()) {
      end = Clock::now();
      loop.quit();
    }
  });
  const Clock::time_point start = Clock::now();
  far.Go();
  RunLoop(loop, [&] { return check.Received(); }, name);
  far.Finish();
  return MiBPerSecond(o.bulkBytes, end - start);
}

double QtSend(const Options& o, const Pattern& p) {
  const std::string name = "send (QSerialPort)";
  WatchdogScope dog(name, o.RunLimit());
  EnsureApplication();
  Pty pty;
  FarSide far({pty.Master()}, {FarJob::Kind::Drain, o.bulkBytes, o.chunk}, Placement::Process);
  QSerialPort port;
  Open(port, pty.SlavePath());
  FailOnError(port, name);
  const std::uint64_t chunks = o.bulkBytes / o.chunk;
  Check(chunks * o.chunk == o.bulkBytes, "bulk size is not a multiple of the chunk");
  QEventLoop loop;
  std::uint64_t next = 0;
  std::uint64_t written = 0;
  const auto queued = static_cast<qint64>(2 * o.chunk);
  auto topUp = [&] {
    while (next < chunks && port.bytesToWrite() < queued) {
      const qint64 n = port.write(reinterpret_cast<const char*>(p.At(next * o.chunk)), static_cast<qint64>(o.chunk));
      if (n != static_cast<qint64>(o.chunk)) Fail(name + ": write queued " + std::to_string(n) + " bytes");
      ++next;
    }
    if (next == chunks && port.bytesToWrite() == 0) loop.quit();
  };
  QObject::connect(&port, &QSerialPort::bytesWritten, [&](qint64 n) {
    written += static_cast<std::uint64_t>(n);
    topUp();
  });
  const Clock::time_point start = Clock::now();
  far.Go();
  topUp();
  RunLoop(loop, [&] { return written; }, name);
  const FarReport report = far.Finish();
  return MiBPerSecond(o.bulkBytes, report.end - start);
}

Trips QtRoundTrips(const Options& o) {
  const std::string name = "round trips (QSerialPort)";
  WatchdogScope dog(name, o.RunLimit());
  EnsureApplication();
  Pty pty;
  const int total = o.warmupTrips + o.roundTrips;
  FarSide far({pty.Master()}, {FarJob::Kind::Echo, static_cast<std::uint64_t>(total), 1}, Placement::Process);
  QSerialPort port;
  Open(port, pty.SlavePath());
  FailOnError(port, name);
  QEventLoop loop;
  Trips trips;
  trips.micros.reserve(static_cast<std::size_t>(o.roundTrips));
  int trip = 0;
  Clock::time_point t0;
  auto send = [&] {
    const char byte = static_cast<char>(trip);
    t0 = Clock::now();
    if (port.write(&byte, 1) != 1) Fail(name + ": write");
  };
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    const QByteArray data = port.readAll();
    const Clock::time_point t1 = Clock::now();
    trips.cpus.push_back(CurrentCpu());
    if (data.isEmpty()) return;
    Check(data.size() == 1 && data[0] == static_cast<char>(trip), name + ": the echo differs from the byte sent");
    if (trip >= o.warmupTrips) trips.micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    if (++trip == total) {
      loop.quit();
      return;
    }
    send();
  });
  far.Go();
  send();
  RunLoop(loop, [&] { return static_cast<std::uint64_t>(trip); }, name);
  trips.far = far.Finish();
  return trips;
}

double QtOpenClose(const Options& o) {
  WatchdogScope dog("open + close (QSerialPort)", o.RunLimit());
  EnsureApplication();
  Pty pty;
  QSerialPort port;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < o.openCloseCycles; ++i) {
    Open(port, pty.SlavePath());
    port.close();
  }
  return o.openCloseCycles / std::chrono::duration<double>(Clock::now() - start).count();
}

void HoldQt(const std::vector<std::string>& paths, OpenedCallback opened) {
  EnsureApplication();
  std::vector<std::unique_ptr<QSerialPort>> ports;
  for (const std::string& path : paths) {
    ports.push_back(std::make_unique<QSerialPort>());
    QSerialPort& port = *ports.back();
    QObject::connect(&port, &QSerialPort::readyRead, [&port] { port.readAll(); });
    Open(port, path);
    if (ports.size() == 1) {
      QCoreApplication::processEvents();
      opened(1);
    }
  }
  QCoreApplication::processEvents();
  opened(ports.size());
}

}  // namespace bench
