// The sections of the run. Within a section every contender runs once per
// repetition, in an order that rotates from one repetition to the next, so
// that each ratio compares runs taken moments apart.
#include "sections.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace bench {

using namespace names;

namespace {

using Run = std::function<void(int rep)>;

void Progress(const Options& o, const std::string& text) {
  if (o.verbose || !o.smoke) std::fprintf(stderr, "  %s\n", text.c_str());
}

void Interleave(const Options& o, const std::vector<Run>& runs) {
  const std::size_t n = runs.size();
  for (int rep = 0; rep < o.reps; ++rep) {
    for (std::size_t k = 0; k < n; ++k) runs[(static_cast<std::size_t>(rep) + k) % n](rep);
  }
}

std::string Rep(const std::string& section, int rep, const std::string& contender) {
  return section + " rep " + std::to_string(rep) + " " + contender + ":";
}

double PerTrip(double count, const Options& o) { return count / (o.roundTrips + o.warmupTrips); }

}  // namespace

void ReceiveSection(const Options& o, const Pattern& p, Results& results) {
  const std::string cpuNote = "CPU time of every thread of the receiving process over the run; the far side is not in it";
  results.Declare({kReceive, "MiB/s", 0, kRaw, ""});
  results.Declare({kReceiveCpu, "ms/MiB", 2, kRaw, cpuNote});
  results.Declare({kReceiveOld, "MiB/s", 0, kRawFarThread, ""});
  const double mib = static_cast<double>(o.bulkBytes) / (1024.0 * 1024.0);
  auto bulk = [&](const std::string& table, const std::string& cpuTable, const std::string& contender,
                  std::function<double()> receive) -> Run {
    return [&, table, cpuTable, contender, receive](int rep) {
      const UsageMeter meter;
      const double rate = receive();
      const double cpu = meter.Read().cpuMicros / 1000.0 / mib;
      results.Add(table, contender, rate);
      if (!cpuTable.empty()) results.Add(cpuTable, contender, cpu);
      Progress(o, Rep("receive", rep, contender) + " " + Format(rate, 0) + " MiB/s, " + Format(cpu, 2) + " ms CPU/MiB");
    };
  };
  PortSetup none{Delivery::None, 0, false};
  PortSetup thread{Delivery::Thread, 0, false};
  PortSetup window{Delivery::Window, 0, false};
  PortSetup bigQueue{Delivery::None, 65536, false};
  PortSetup old{Delivery::None, 65536, true};
  Interleave(o, {
                    bulk(kReceive, kReceiveCpu, kRaw, [&] { return RawReceive(o, p, Placement::Process); }),
                    bulk(kReceive, kReceiveCpu, kSp, [&] { return SpReceive(o, p); }),
                    bulk(kReceive, kReceiveCpu, kPortBlocking, [&] { return PortBlockingReceive(o, p); }),
                    bulk(kReceive, kReceiveCpu, kQt, [&] { return QtReceive(o, p); }),
                    bulk(kReceive, kReceiveCpu, kAsio, [&] { return AsioReceive(o, p); }),
                    bulk(kReceive, kReceiveCpu, kPortNone, [&] { return PortReceive(o, p, none, Placement::Process); }),
                    bulk(kReceive, kReceiveCpu, kPortThread,
                         [&] { return PortReceive(o, p, thread, Placement::Process); }),
                    bulk(kReceive, kReceiveCpu, kPortWindow,
                         [&] { return PortReceive(o, p, window, Placement::Process); }),
                    bulk(kReceive, kReceiveCpu, kPortBigQueue,
                         [&] { return PortReceive(o, p, bigQueue, Placement::Process); }),
                    bulk(kReceive, kReceiveCpu, kPortOldSettings,
                         [&] { return PortReceive(o, p, old, Placement::Process); }),
                    bulk(kReceiveOld, "", kRawFarThread, [&] { return RawReceive(o, p, Placement::Thread); }),
                    bulk(kReceiveOld, "", kPortFarThread, [&] { return PortReceive(o, p, old, Placement::Thread); }),
                });
}

void SendSection(const Options& o, const Pattern& p, Results& results) {
  results.Declare({kSend, "MiB/s", 0, kRaw, ""});
  results.Declare({kSendCpu, "ms/MiB", 2, kRaw, "CPU time of every thread of the sending process; the far side is not in it"});
  const double mib = static_cast<double>(o.bulkBytes) / (1024.0 * 1024.0);
  auto bulk = [&](const std::string& contender, std::function<double()> send) -> Run {
    return [&, contender, send](int rep) {
      const UsageMeter meter;
      const double rate = send();
      const double cpu = meter.Read().cpuMicros / 1000.0 / mib;
      results.Add(kSend, contender, rate);
      results.Add(kSendCpu, contender, cpu);
      Progress(o, Rep("send", rep, contender) + " " + Format(rate, 0) + " MiB/s, " + Format(cpu, 2) + " ms CPU/MiB");
    };
  };
  Interleave(o, {
                    bulk(kRaw, [&] { return RawSend(o, p); }),
                    bulk(kSp, [&] { return SpSend(o, p); }),
                    bulk(kQt, [&] { return QtSend(o, p); }),
                    bulk(kAsio, [&] { return AsioSend(o, p); }),
                    bulk(kSendText, [&] { return PortSendText(o, p); }),
                    bulk(kSendAsync, [&] { return PortSendAsync(o, p); }),
                    bulk(kPortBlocking, [&] { return PortBlockingSend(o, p); }),
                });
}

void RoundTripSection(const Options& o, Results& results) {
  const std::string countNote =
      "the measuring process's counters plus the far process's; with the far side a thread, one process";
  results.Declare({kTripP50, "us", 1, kRaw, ""});
  results.Declare({kTripP99, "us", 1, kRaw, ""});
  results.Declare({kTripSwitches, "per trip", 2, kRaw, countNote});
  results.Declare({kTripWakeups, "per trip", 2, kRaw,
                   "voluntary context switches of the measuring process's threads (each is a sleep that ends in a "
                   "wake-up); the far side is not in it"});
  results.Declare({kTripMigrations, "per 1000", 1, "", ""});
  results.Declare({kTripSameCpu, "share", 2, "",
                   "trips whose echo was taken (by the thread that reads it) on the CPU the far side wrote it on"});
  results.Declare({kTripOldP50, "us", 1, kRawFarThread, ""});
  results.Declare({kTripOldP99, "us", 1, kRawFarThread, ""});
  results.Declare({kTripOldSwitches, "per trip", 2, kRawFarThread, ""});
  results.Declare({kTripOldMigrations, "per 1000", 1, "", ""});
  results.Declare({kTripOldSameCpu, "share", 2, "", ""});
  auto trips = [&](bool oldWay, const std::string& contender, std::function<Trips()> run) -> Run {
    return [&, oldWay, contender, run](int rep) {
      const UsageMeter meter;
      const Trips t = run();
      const Usage used = meter.Read();
      const double p50 = Percentile(t.micros, 0.5);
      const double p99 = Percentile(t.micros, 0.99);
      const double switches = PerTrip(used.switches + t.far.usage.switches, o);
      const double migrations = 1000 * PerTrip(used.migrations + t.far.usage.migrations, o);
      const double sameCpu = SameCpuShare(t, o.warmupTrips);
      results.Add(oldWay ? kTripOldP50 : kTripP50, contender, p50);
      results.Add(oldWay ? kTripOldP99 : kTripP99, contender, p99);
      results.Add(oldWay ? kTripOldSwitches : kTripSwitches, contender, switches);
      if (!oldWay) results.Add(kTripWakeups, contender, PerTrip(used.voluntary, o));
      results.Add(oldWay ? kTripOldMigrations : kTripMigrations, contender, migrations);
      results.Add(oldWay ? kTripOldSameCpu : kTripSameCpu, contender, sameCpu);
      Progress(o, Rep("round trip", rep, contender) + " p50 " + Format(p50, 1) + " us, p99 " + Format(p99, 1) +
                      " us, " + Format(switches, 2) + " switches per trip, " + Format(migrations, 1) +
                      " migrations per 1000 trips, " + Format(sameCpu, 2) + " on one CPU");
    };
  };
  PortSetup none{Delivery::None, 0, false};
  PortSetup thread{Delivery::Thread, 0, false};
  PortSetup window{Delivery::Window, 0, false};
  PortSetup old{Delivery::None, 65536, true};
  Interleave(o, {
                    trips(false, kRaw, [&] { return RawRoundTrips(o, Placement::Process); }),
                    trips(false, kHandoff, [&] { return HandoffRoundTrips(o); }),
                    trips(false, kSp, [&] { return SpRoundTrips(o); }),
                    trips(false, kSpBlocking, [&] { return SpBlockingRoundTrips(o); }),
                    trips(false, kPortBlocking, [&] { return PortBlockingRoundTrips(o); }),
                    trips(false, kQt, [&] { return QtRoundTrips(o); }),
                    trips(false, kAsio, [&] { return AsioRoundTrips(o); }),
                    trips(false, kPortNone, [&] { return PortRoundTrips(o, none, Placement::Process); }),
                    trips(false, kPortThread, [&] { return PortRoundTrips(o, thread, Placement::Process); }),
                    trips(false, kPortWindow, [&] { return PortRoundTrips(o, window, Placement::Process); }),
                    trips(false, kPortOldSettings, [&] { return PortRoundTrips(o, old, Placement::Process); }),
                    trips(true, kRawFarThread, [&] { return RawRoundTrips(o, Placement::Thread); }),
                    trips(true, kPortFarThread, [&] { return PortRoundTrips(o, old, Placement::Thread); }),
                });
}

void OpenCloseSection(const Options& o, Results& results) {
  results.Declare({kOpenClose, "cycles/s", 0, kRaw,
                   "raw: open, flock, tcgetattr, tcsetattr, close; + a watcher thread: and a thread polling the "
                   "descriptor started and stopped; the port at its defaults starts and stops its event thread"});
  auto cycles = [&](const std::string& contender, std::function<double()> run) -> Run {
    return [&, contender, run](int rep) {
      const double rate = run();
      results.Add(kOpenClose, contender, rate);
      Progress(o, Rep("open + close", rep, contender) + " " + Format(rate, 0) + " cycles/s");
    };
  };
  Interleave(o, {
                    cycles(kRaw, [&] { return RawOpenClose(o, false); }),
                    cycles(kRawWatcher, [&] { return RawOpenClose(o, true); }),
                    cycles(kSp, [&] { return SpOpenClose(o); }),
                    cycles(kQt, [&] { return QtOpenClose(o); }),
                    cycles(kAsio, [&] { return AsioOpenClose(o); }),
                    cycles(kPort, [&] { return PortOpenClose(o); }),
                });
}

void ManyPortsSection(const Options& o, const Pattern& p, Results& results) {
  const std::string each = std::to_string(o.manyPorts) + " ports, " + std::to_string(o.manyBytesEach >> 10) +
                           " KiB each, one far process writing to all; every byte checked";
  results.Declare({kManyCpu, "ms/MiB", 2, kRaw, each + "; raw: all descriptors in one poll loop"});
  results.Declare({kManySwitches, "per MiB", 0, kRaw, ""});
  results.Declare({kManyRate, "MiB/s", 0, kRaw, ""});
  auto many = [&](const std::string& contender, std::function<ManyResult()> run) -> Run {
    return [&, contender, run](int rep) {
      const ManyResult r = run();
      results.Add(kManyCpu, contender, r.cpuMsPerMiB);
      results.Add(kManySwitches, contender, r.switchesPerMiB);
      results.Add(kManyRate, contender, r.mibPerSecond);
      Progress(o, Rep("many ports", rep, contender) + " " + Format(r.cpuMsPerMiB, 2) + " ms CPU/MiB, " +
                      Format(r.switchesPerMiB, 0) + " switches/MiB, " +
                      Format(r.mibPerSecond, 0) + " MiB/s");
    };
  };
  Interleave(o, {
                    many(kRaw, [&] { return RawManyReceive(o, p); }),
                    many(kPortNone, [&] { return PortManyReceive(o, p, Delivery::None); }),
                    many(kPortThread, [&] { return PortManyReceive(o, p, Delivery::Thread); }),
                });
}

void PerPortSection(const Options& o, Results& results) {
  const std::string how = std::to_string(o.holdPorts) +
                          " ports open in a fresh process, growth from the first to the last, per further port";
  results.Declare({kThreads, "threads", 2, "", how + "; the port at its defaults, all ten events armed"});
  results.Declare({kMemory, "KiB", 1, "", "VmRSS; " + how});
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"raw", kRaw}, {"sp", kSp}, {"qt", kQt}, {"asio", kAsio}, {"port", kPort}};
  // Threads and memory barely vary; a few repetitions show that they do not.
  Options few = o;
  few.reps = std::min(o.reps, 3);
  std::vector<Run> runs;
  for (const auto& [kind, contender] : kinds) {
    runs.push_back([&, kind = kind, contender = contender](int rep) {
      Child child = StartChild("hold-" + kind, std::to_string(o.holdPorts));
      const KeyValues values = FinishChild(child, 60000);
      results.Add(kThreads, contender, values.at("threads"));
      results.Add(kMemory, contender, values.at("rss_kib"));
      Progress(o, Rep("per port", rep, contender) + " " + Format(values.at("threads"), 2) + " threads, " +
                      Format(values.at("rss_kib"), 1) + " KiB");
    });
  }
  Interleave(few, runs);
}

void IdleSection(const Options& o, Results& results) {
  results.Declare({kIdleSwitches, "count", 0, kRaw,
                   std::to_string(o.idleMs) + " ms; the port at its defaults (smThreadSync, its console loop waiting);"
                                              " raw: one poll() on the slave"});
  results.Declare({kIdleCpu, "ms", 2, kRaw, ""});
  results.Declare({kIdleOther, "count", 0, "", ""});
  const std::string ms = std::to_string(o.idleMs);
  for (int rep = 0; rep < o.reps; ++rep) {
    // Both sleep at the same time: an idle contender disturbs nothing, and
    // this halves the wall time.
    const bool portFirst = rep % 2 == 1;
    Child first = StartChild(portFirst ? "idle-port" : "idle-raw", ms);
    Child second = StartChild(portFirst ? "idle-raw" : "idle-port", ms);
    const KeyValues a = FinishChild(first, o.idleMs + 30000);
    const KeyValues b = FinishChild(second, o.idleMs + 30000);
    const KeyValues& port = portFirst ? a : b;
    const KeyValues& raw = portFirst ? b : a;
    results.Add(kIdleSwitches, kRaw, raw.at("csw"));
    results.Add(kIdleSwitches, kPort, port.at("csw"));
    results.Add(kIdleCpu, kRaw, raw.at("cpu_us") / 1000);
    results.Add(kIdleCpu, kPort, port.at("cpu_us") / 1000);
    results.Add(kIdleOther, kRaw, raw.at("other_vcsw"));
    results.Add(kIdleOther, kPort, port.at("other_vcsw"));
    Progress(o, "idle rep " + std::to_string(rep) + " port: " + Format(port.at("csw"), 0) + " switches (" +
                    Format(port.at("threads"), 0) + " threads, others woke " + Format(port.at("other_vcsw"), 0) +
                    "), " + Format(port.at("cpu_us") / 1000, 3) + " ms CPU; raw: " + Format(raw.at("csw"), 0) +
                    " switches, " + Format(raw.at("cpu_us") / 1000, 3) + " ms CPU");
  }
}

}  // namespace bench
