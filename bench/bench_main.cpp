// cport_bench: runs every measurement for the port and for the raw contender
// in turn (the order rotates each repetition), repeats, and prints one table:
// medians with min..max, and the median of the per-repetition ratios.
//
//   cport_bench            full run (15 repetitions, 32 MiB, 20,000 round trips)
//   cport_bench --quick    3 repetitions, smaller sizes
//   cport_bench --smoke    tiny sizes, 1 repetition: does everything work?
//   more: --reps N --bulk-mib N --round-trips N --idle-ms N --cycles N
//         --ports N --queue N --only SECTION[,SECTION] --sync KIND[,KIND] --verbose
//   sections: bulk-rx bulk-tx latency idle open-close memory
//   kinds (delivery methods of the round trips): none thread window
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "CPort/runtime/MainThread.h"
#include "bench.h"

namespace bench {
namespace {

// ---- results ---------------------------------------------------------------------

enum class Goal { None, RatioAtLeast, RatioAtMost, NotAboveRaw, WithinNoise };

struct Row {
  std::string name;
  std::string unit;
  int decimals = 0;
  Goal goal = Goal::None;
  double bound = 0;
  std::vector<double> port, raw;
  bool showRatio = true;  // false where raw is about zero and a ratio says nothing
  std::string goalText() const {
    switch (goal) {
      case Goal::None: return "";
      case Goal::RatioAtLeast: return ">= " + Format(bound, 2) + "x";
      case Goal::RatioAtMost: return "<= " + Format(bound, 2) + "x";
      case Goal::NotAboveRaw: return "<= raw";
      case Goal::WithinNoise: return "~ raw";
    }
    return "";
  }
  std::vector<double> ratios() const {
    std::vector<double> r;
    for (std::size_t i = 0; i < std::min(port.size(), raw.size()); ++i) {
      if (raw[i] != 0) r.push_back(port[i] / raw[i]);
    }
    return r;
  }
  // "met" / "MISSED" / "".
  std::string verdict() const {
    if (port.empty() || raw.empty()) return "";
    const double ratio = Median(ratios());
    switch (goal) {
      case Goal::None: return "";
      case Goal::RatioAtLeast: return ratio >= bound ? "met" : "MISSED";
      case Goal::RatioAtMost: return ratio <= bound ? "met" : "MISSED";
      case Goal::NotAboveRaw: return Median(port) <= Median(raw) ? "met" : "MISSED";
      case Goal::WithinNoise: {
        // Within noise: no further above the raw median than the raw spread
        // (and at least `bound` units, the resolution that matters).
        const double noise = std::max(Max(raw) - Min(raw), bound);
        return Median(port) <= Median(raw) + noise ? "met" : "MISSED";
      }
    }
    return "";
  }
};

std::string Cell(const std::vector<double>& v, int decimals) {
  if (v.empty()) return "-";
  if (v.size() == 1) return Format(v[0], decimals);
  return Format(Median(v), decimals) + " (" + Format(Min(v), decimals) + ".." + Format(Max(v), decimals) + ")";
}

void PrintTable(const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> cells;
  cells.push_back({"measurement", "unit", "port", "raw", "port/raw", "goal", ""});
  for (const Row& r : rows) {
    if (r.port.empty() && r.raw.empty()) continue;
    cells.push_back({r.name, r.unit, Cell(r.port, r.decimals), Cell(r.raw, r.decimals),
                     r.showRatio ? Cell(r.ratios(), 2) : "-",
                     r.goalText(), r.verdict()});
  }
  std::vector<std::size_t> width(cells[0].size(), 0);
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(width[i] - line[i].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::printf("%s\n", text.c_str());
  };
  print_line(cells[0]);
  std::size_t total = 0;
  for (std::size_t w : width) total += w + 2;
  std::printf("%s\n", std::string(total - 2, '-').c_str());
  for (std::size_t i = 1; i < cells.size(); ++i) print_line(cells[i]);
}

// ---- machine ---------------------------------------------------------------------

std::string CpuModel() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

std::string Kernel() {
  utsname u{};
  if (::uname(&u) != 0) return "unknown";
  return std::string(u.sysname) + " " + u.release;
}

// ---- running -------------------------------------------------------------------------

void Progress(const Options& o, const std::string& text) {
  if (o.verbose || !o.smoke) std::fprintf(stderr, "  %s\n", text.c_str());
}

// Runs `contenders` once per repetition, rotating the order.
void Interleave(const Options& o, const std::vector<std::function<void(int rep)>>& contenders) {
  const int n = static_cast<int>(contenders.size());
  for (int rep = 0; rep < o.reps; ++rep) {
    for (int k = 0; k < n; ++k) contenders[static_cast<std::size_t>((rep + k) % n)](rep);
  }
}

// Runs one contender and notes the process's CPU time and context switches
// over it (the far side's share is the same for every contender).
template <typename F>
auto Counted(ProcessCounters& spent, F&& run) {
  const ProcessCounters before = ReadProcessCounters();
  auto result = run();
  const ProcessCounters after = ReadProcessCounters();
  spent.cpuMicros = after.cpuMicros - before.cpuMicros;
  spent.switches = after.switches - before.switches;
  return result;
}

// One bulk direction: the raw contender, two port contenders, and optional
// extra raw-side references.
struct BulkContender {
  std::string name;
  std::function<double()> run;
  bool isReference = false;  // a raw variant: shown, no goal, no CPU row
};

void Bulk(const Options& o, const std::string& section, const std::string& title,
          const std::function<double()>& raw, const std::vector<BulkContender>& others, std::vector<Row>& rows) {
  const double mib = static_cast<double>(o.bulkBytes) / (1024.0 * 1024.0);
  std::vector<double> rawRate, rawCpu;
  std::vector<Row> rate, cpu;
  for (const BulkContender& c : others) {
    rate.push_back(Row{title + ": " + c.name, "MiB/s", 0, c.isReference ? Goal::None : Goal::RatioAtLeast, 0.9, {}, {}});
    cpu.push_back(Row{title + " CPU per MiB: " + c.name, "ms", 2, Goal::None, 0, {}, {}});
  }
  std::vector<std::function<void(int)>> contenders;
  contenders.push_back([&](int rep) {
    ProcessCounters spent;
    rawRate.push_back(Counted(spent, raw));
    rawCpu.push_back(spent.cpuMicros / 1000 / mib);
    Progress(o, section + " rep " + std::to_string(rep) + " raw " + Format(rawRate.back(), 0) + " MiB/s, " +
                    Format(rawCpu.back(), 2) + " ms CPU/MiB");
  });
  for (std::size_t i = 0; i < others.size(); ++i) {
    contenders.push_back([&, i](int rep) {
      ProcessCounters spent;
      rate[i].port.push_back(Counted(spent, others[i].run));
      cpu[i].port.push_back(spent.cpuMicros / 1000 / mib);
      Progress(o, section + " rep " + std::to_string(rep) + " " + others[i].name + " " +
                      Format(rate[i].port.back(), 0) + " MiB/s, " + Format(cpu[i].port.back(), 2) + " ms CPU/MiB");
    });
  }
  Interleave(o, contenders);
  for (std::size_t i = 0; i < others.size(); ++i) {
    rate[i].raw = rawRate;
    cpu[i].raw = rawCpu;
    rows.push_back(rate[i]);
  }
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (!others[i].isReference) rows.push_back(cpu[i]);
  }
}

void BulkReceive(const Options& o, const Pattern& p, std::vector<Row>& rows) {
  Bulk(o, "bulk-rx", "bulk receive", [&] { return RawReceive(o, p); },
       {{"OnRxChar + ReceiveBytes", [&] { return PortReceiveRxChar(o, p); }, false},
        {"overlapped reads", [&] { return PortReceiveOverlapped(o, p); }, false},
        {"raw with the port's INPCK|PARMRK", [&] { return RawReceiveMarked(o, p); }, true}},
       rows);
}

void BulkSend(const Options& o, const Pattern& p, std::vector<Row>& rows) {
  Bulk(o, "bulk-tx", "bulk send", [&] { return RawSend(o, p); },
       {{"SendText", [&] { return PortSendText(o, p); }, false},
        {"SendBytesAsync + AwaitTransfer", [&] { return PortSendAsync(o, p); }, false}},
       rows);
}

void Latency(const Options& o, std::vector<Row>& rows) {
  struct Kind {
    LatencyKind kind;
    const char* name;
    double p50Goal;
  };
  const Kind kinds[] = {{LatencyKind::SyncNone, "smNone", 1.3},
                        {LatencyKind::SyncThread, "smThreadSync", 2.0},
                        {LatencyKind::SyncWindow, "smWindowSync", 0}};
  std::vector<Row> p50, p99, csw;
  for (const Kind& k : kinds) {
    p50.push_back(Row{std::string("round trip p50: ") + k.name, "us", 1,
                      k.p50Goal > 0 ? Goal::RatioAtMost : Goal::None, k.p50Goal, {}, {}});
    p99.push_back(Row{std::string("round trip p99: ") + k.name, "us", 1, Goal::None, 0, {}, {}});
    csw.push_back(Row{std::string("round trip context switches: ") + k.name, "/trip", 2, Goal::None, 0, {}, {}});
  }
  const double trips = o.roundTrips + o.warmupTrips;
  std::vector<double> rawP50, rawP99, rawCsw;
  std::vector<std::function<void(int)>> contenders;
  contenders.push_back([&](int rep) {
    ProcessCounters spent;
    const std::vector<double> us = Counted(spent, [&] { return RawRoundTrips(o); });
    rawP50.push_back(Percentile(us, 0.5));
    rawP99.push_back(Percentile(us, 0.99));
    rawCsw.push_back(spent.switches / trips);
    Progress(o, "latency rep " + std::to_string(rep) + " raw p50 " + Format(rawP50.back(), 1) + " p99 " +
                    Format(rawP99.back(), 1) + " csw/trip " + Format(rawCsw.back(), 2));
  });
  const char* const syncNames[] = {"none", "thread", "window"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (!o.syncs.empty() && std::find(o.syncs.begin(), o.syncs.end(), syncNames[i]) == o.syncs.end()) continue;
    contenders.push_back([&, i](int rep) {
      ProcessCounters spent;
      const std::vector<double> us = Counted(spent, [&] { return PortRoundTrips(o, kinds[i].kind); });
      p50[i].port.push_back(Percentile(us, 0.5));
      p99[i].port.push_back(Percentile(us, 0.99));
      csw[i].port.push_back(spent.switches / trips);
      Progress(o, "latency rep " + std::to_string(rep) + " " + kinds[i].name + " p50 " +
                      Format(p50[i].port.back(), 1) + " p99 " + Format(p99[i].port.back(), 1) + " csw/trip " +
                      Format(csw[i].port.back(), 2));
    });
  }
  Interleave(o, contenders);
  for (std::size_t i = 0; i < 3; ++i) {
    p50[i].raw = rawP50;
    p99[i].raw = rawP99;
    csw[i].raw = rawCsw;
  }
  for (std::size_t i = 0; i < 3; ++i) rows.push_back(p50[i]);
  for (std::size_t i = 0; i < 3; ++i) rows.push_back(p99[i]);
  for (std::size_t i = 0; i < 3; ++i) rows.push_back(csw[i]);
}

void Idle(const Options& o, std::vector<Row>& rows) {
  const std::string seconds = Format(o.idleMs / 1000.0, o.idleMs % 1000 ? 1 : 0);
  Row cpu{"idle " + seconds + " s, all events armed: CPU time", "ms", 2, Goal::WithinNoise, 0.5, {}, {}};
  Row csw{"idle " + seconds + " s: context switches", "count", 0, Goal::NotAboveRaw, 0, {}, {}};
  Row other{"idle " + seconds + " s: wake-ups of other threads", "count", 0, Goal::None, 0, {}, {}};
  other.showRatio = false;
  const std::string ms = std::to_string(o.idleMs);
  for (int rep = 0; rep < o.reps; ++rep) {
    // Both sleep at the same time: an idle contender disturbs nothing, and
    // this halves the wall time.
    const bool portFirst = rep % 2 == 1;
    const Child first = StartChild(portFirst ? "idle-port" : "idle-raw", ms);
    const Child second = StartChild(portFirst ? "idle-raw" : "idle-port", ms);
    const KeyValues a = FinishChild(first, o.idleMs + 30000);
    const KeyValues b = FinishChild(second, o.idleMs + 30000);
    const KeyValues& port = portFirst ? a : b;
    const KeyValues& raw = portFirst ? b : a;
    cpu.port.push_back(port.at("cpu_us") / 1000);
    cpu.raw.push_back(raw.at("cpu_us") / 1000);
    csw.port.push_back(port.at("csw"));
    csw.raw.push_back(raw.at("csw"));
    other.port.push_back(port.at("other_vcsw"));
    other.raw.push_back(raw.at("other_vcsw"));
    Progress(o, "idle rep " + std::to_string(rep) + " port cpu " + Format(cpu.port.back(), 3) + " ms csw " +
                    Format(csw.port.back(), 0) + " (threads " + Format(port.at("threads"), 0) + ", other " +
                    Format(other.port.back(), 0) + "), raw cpu " + Format(cpu.raw.back(), 3) + " ms csw " +
                    Format(csw.raw.back(), 0));
  }
  rows.push_back(cpu);
  rows.push_back(csw);
  rows.push_back(other);
}

void OpenClose(const Options& o, std::vector<Row>& rows) {
  Row row{"OpenPort + ClosePort, event thread", "cycles/s", 0, Goal::None, 0, {}, {}};
  Interleave(o, {
                    [&](int rep) {
                      row.raw.push_back(RawOpenClose(o));
                      Progress(o, "open-close rep " + std::to_string(rep) + " raw " + Format(row.raw.back(), 0));
                    },
                    [&](int rep) {
                      row.port.push_back(PortOpenClose(o));
                      Progress(o, "open-close rep " + std::to_string(rep) + " port " + Format(row.port.back(), 0));
                    },
                });
  rows.push_back(row);
}

void Memory(const Options& o, std::vector<Row>& rows) {
  const std::string many = std::to_string(o.manyPorts);
  Row one{"peak RSS, 1 open port", "KiB", 0, Goal::None, 0, {}, {}};
  Row lots{"peak RSS, " + many + " open ports", "KiB", 0, Goal::None, 0, {}, {}};
  Row each{"peak RSS per further port", "KiB", 1, Goal::None, 0, {}, {}};
  each.showRatio = false;
  // Memory barely varies; a few repetitions show that it does not.
  const int reps = std::min(o.reps, 3);
  for (int rep = 0; rep < reps; ++rep) {
    auto hwm = [](const char* mode, const std::string& n) {
      return FinishChild(StartChild(mode, n), 60000).at("hwm_kib");
    };
    one.raw.push_back(hwm("rss-raw", "1"));
    one.port.push_back(hwm("rss-port", "1"));
    lots.raw.push_back(hwm("rss-raw", many));
    lots.port.push_back(hwm("rss-port", many));
    if (o.manyPorts > 1) {
      each.raw.push_back((lots.raw.back() - one.raw.back()) / (o.manyPorts - 1));
      each.port.push_back((lots.port.back() - one.port.back()) / (o.manyPorts - 1));
    }
    Progress(o, "memory rep " + std::to_string(rep) + " port " + Format(one.port.back(), 0) + " / " +
                    Format(lots.port.back(), 0) + " KiB, raw " + Format(one.raw.back(), 0) + " / " +
                    Format(lots.raw.back(), 0) + " KiB");
  }
  rows.push_back(one);
  rows.push_back(lots);
  rows.push_back(each);
}

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "cport_bench: %s\n"
               "usage: cport_bench [--smoke | --quick] [--reps N] [--bulk-mib N] [--round-trips N]\n"
               "                   [--idle-ms N] [--cycles N] [--ports N] [--queue N]\n"
               "                   [--only bulk-rx,bulk-tx,latency,idle,open-close,memory]\n"
               "                   [--sync none,thread,window] [--verbose]\n",
               why);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  // Presets first, so that explicit values override them.
  for (const std::string& a : args) {
    if (a == "--smoke") {
      o.smoke = true;
      o.reps = 1;
      o.bulkBytes = 256 << 10;
      o.roundTrips = 200;
      o.warmupTrips = 20;
      o.idleMs = 200;
      o.openCloseCycles = 5;
      o.manyPorts = 4;
    } else if (a == "--quick") {
      o.quick = true;
      o.reps = 3;
      o.bulkBytes = 8 << 20;
      o.roundTrips = 5000;
      o.warmupTrips = 200;
      o.openCloseCycles = 100;
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> long {
      if (i + 1 >= args.size()) Usage(("missing value after " + a).c_str());
      char* end = nullptr;
      const long v = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || v <= 0) Usage(("bad value for " + a).c_str());
      return v;
    };
    if (a == "--smoke" || a == "--quick") continue;
    if (a == "--verbose") o.verbose = true;
    else if (a == "--reps") o.reps = static_cast<int>(value());
    else if (a == "--bulk-mib") o.bulkBytes = static_cast<std::uint64_t>(value()) << 20;
    else if (a == "--round-trips") o.roundTrips = static_cast<int>(value());
    else if (a == "--idle-ms") o.idleMs = static_cast<int>(value());
    else if (a == "--cycles") o.openCloseCycles = static_cast<int>(value());
    else if (a == "--ports") o.manyPorts = static_cast<int>(value());
    else if (a == "--queue") o.queueSize = static_cast<int>(value());
    else if (a == "--only" || a == "--sync") {
      if (i + 1 >= args.size()) Usage(("missing value after " + a).c_str());
      std::stringstream list(args[++i]);
      std::string item;
      while (std::getline(list, item, ',')) (a == "--only" ? o.only : o.syncs).push_back(item);
    } else {
      Usage(("unknown option " + a).c_str());
    }
  }
  return o;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return RunChildMode(argv[2], argv[3]);
  CPort::Runtime::SetMainThread();
  const Options o = Parse(argc, argv);
  const Pattern pattern(o.chunk);

  std::printf("cport_bench%s: the port component against termios + poll + read/write, on pty pairs\n",
              o.smoke ? " --smoke" : o.quick ? " --quick" : "");
  std::printf("machine: %ld cpus, %s, %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), Kernel().c_str());
  std::printf("runs: %d repetitions, contenders interleaved; bulk %llu KiB in %zu-byte chunks (port input queue %d);"
              " %d round trips (+%d warm-up); idle %d ms; %d open/close cycles\n",
              o.reps, static_cast<unsigned long long>(o.bulkBytes >> 10), o.chunk, o.queueSize, o.roundTrips,
              o.warmupTrips, o.idleMs, o.openCloseCycles);
  std::printf("cells: median (min..max) over repetitions; port/raw: median of the per-repetition ratios\n\n");
  std::fflush(stdout);

  std::vector<Row> rows;
  if (o.Runs("bulk-rx")) BulkReceive(o, pattern, rows);
  if (o.Runs("bulk-tx")) BulkSend(o, pattern, rows);
  if (o.Runs("latency")) Latency(o, rows);
  if (o.Runs("idle")) Idle(o, rows);
  if (o.Runs("open-close")) OpenClose(o, rows);
  if (o.Runs("memory")) Memory(o, rows);
  PrintTable(rows);
  std::fflush(stdout);
  return 0;
}
