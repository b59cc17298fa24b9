// cport_bench: runs every section (the contenders of each interleaved, their
// order rotating each repetition), then prints one table per measurement
// (medians with min..max, and the median of the per-repetition ratios to raw)
// and the goals.
//
//   cport_bench            full run (11 repetitions, 16 MiB, 10,000 round trips)
//   cport_bench --quick    3 repetitions, smaller sizes (a couple of minutes)
//   cport_bench --smoke    tiny sizes, 1 repetition: does every contender work?
//   more: --reps N --bulk-mib N --round-trips N --idle-ms N --cycles N
//         --ports N --only SECTION[,SECTION] --verbose
//   sections: receive send round-trip syscalls open-close many-ports per-port idle
//   (syscalls: system calls per round trip, counted under strace)
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "CPort/runtime/MainThread.h"
#include "sections.h"

namespace bench {
namespace {

const char* const kSections[] = {"receive",  "send",     "round-trip", "syscalls", "open-close",
                                 "many-ports", "per-port", "idle"};

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

// The ioctl() stand-in for libserialport must leave every other caller alone:
// the port treats ENOTTY from the modem-line requests as "no modem lines",
// and a success there would change what it does on a pty.
void CheckIoctlStandIn() {
  const Pty pty;
  const int fd = pty.OpenSlaveRaw();
  int lines = 0;
  const int result = ::ioctl(fd, TIOCMGET, &lines);
  const int error = errno;
  ::close(fd);
  Check(result == -1 && error == ENOTTY,
        "the ioctl() stand-in for libserialport answered TIOCMGET for another caller");
}

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr,
               "cport_bench: %s\n"
               "usage: cport_bench [--smoke | --quick] [--reps N] [--bulk-mib N] [--round-trips N]\n"
               "                   [--idle-ms N] [--cycles N] [--ports N] [--verbose]\n"
               "                   [--only receive,send,round-trip,syscalls,open-close,many-ports,per-port,idle]\n",
               why.c_str());
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
      o.manyBytesEach = 64 << 10;
      o.holdPorts = 4;
    } else if (a == "--quick") {
      o.quick = true;
      o.reps = 3;
      o.bulkBytes = 4 << 20;
      o.roundTrips = 2000;
      o.warmupTrips = 200;
      o.idleMs = 1000;
      o.openCloseCycles = 50;
      o.manyBytesEach = 128 << 10;
      o.holdPorts = 16;
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> long {
      if (i + 1 >= args.size()) Usage("missing value after " + a);
      char* end = nullptr;
      const long v = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || v <= 0) Usage("bad value for " + a);
      return v;
    };
    if (a == "--smoke" || a == "--quick") continue;
    if (a == "--verbose") o.verbose = true;
    else if (a == "--reps") o.reps = static_cast<int>(value());
    else if (a == "--bulk-mib") o.bulkBytes = static_cast<std::uint64_t>(value()) << 20;
    else if (a == "--round-trips") o.roundTrips = static_cast<int>(value());
    else if (a == "--idle-ms") o.idleMs = static_cast<int>(value());
    else if (a == "--cycles") o.openCloseCycles = static_cast<int>(value());
    else if (a == "--ports") o.manyPorts = o.holdPorts = std::max(2, static_cast<int>(value()));
    else if (a == "--only") {
      if (i + 1 >= args.size()) Usage("missing value after " + a);
      std::stringstream list(args[++i]);
      std::string item;
      while (std::getline(list, item, ',')) {
        bool known = false;
        for (const char* s : kSections) known = known || item == s;
        if (!known) Usage("unknown section " + item);
        o.only.push_back(item);
      }
    } else {
      Usage("unknown option " + a);
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

  std::printf("cport_bench%s: the port component, raw termios + poll, libserialport, QSerialPort and boost.asio, on"
              " pty pairs\n",
              o.smoke ? " --smoke" : o.quick ? " --quick" : "");
  std::printf("machine: %ld cpus, %s, %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), Kernel().c_str());
  std::printf("runs: %d repetitions, contenders interleaved; the far side (the device end of each pty) is a process of"
              " its own unless a table says otherwise;\n"
              "      bulk %llu KiB in %zu-byte chunks; %d round trips (+%d warm-up); %d open/close cycles; %d ports"
              " receiving %llu KiB each; idle %d ms\n",
              o.reps, static_cast<unsigned long long>(o.bulkBytes >> 10), o.chunk, o.roundTrips, o.warmupTrips,
              o.openCloseCycles, o.manyPorts, static_cast<unsigned long long>(o.manyBytesEach >> 10), o.idleMs);
  std::printf("the port runs at its defaults (all ten events armed, default queue sizes) unless a row says otherwise\n");
  std::printf("cells: median (min..max) over repetitions; ratios: median of the per-repetition ratios\n");
  const std::string migrations = MigrationCounterProblem();
  if (!migrations.empty()) std::printf("CPU migrations are not counted (%s)\n", migrations.c_str());
  std::printf("\n");
  std::fflush(stdout);

  CheckIoctlStandIn();

  Results results;
  const Clock::time_point begin = Clock::now();
  auto section = [&](const char* name, const std::function<void()>& run) {
    if (!o.Runs(name)) return;
    const Clock::time_point start = Clock::now();
    run();
    if (!o.smoke || o.verbose) {
      std::fprintf(stderr, "%s: %.0f s (%.0f s so far)\n", name,
                   std::chrono::duration<double>(Clock::now() - start).count(),
                   std::chrono::duration<double>(Clock::now() - begin).count());
    }
  };
  section("receive", [&] { ReceiveSection(o, pattern, results); });
  section("send", [&] { SendSection(o, pattern, results); });
  section("round-trip", [&] { RoundTripSection(o, results); });
  section("syscalls", [&] { SyscallSection(o, results); });
  section("open-close", [&] { OpenCloseSection(o, results); });
  section("many-ports", [&] { ManyPortsSection(o, pattern, results); });
  section("per-port", [&] { PerPortSection(o, results); });
  section("idle", [&] { IdleSection(o, results); });
  results.Print();
  PrintGoals(o, results);
  std::fflush(stdout);
  return 0;
}
