// System calls per round trip, counted by strace.
//
// Each contender's trip loop runs in a child process of its own, started
// under `strace -f -c` (every thread of that process is counted, and it
// starts no process of its own); the far side echoes from a process that is
// not traced. A loop of N trips and one of 2N trips are counted, and the
// difference divided by N is the figure: what opening, setting up and
// closing cost cancels out. strace slows every call down, so these runs are
// counted, never timed.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CPort/runtime/MainThread.h"
#include "port_setup.h"
#include "sections.h"

namespace bench {

using namespace names;

namespace {

const char* const kStrace = "/usr/bin/strace";
constexpr std::size_t kEchoLateMicros = 2000;

// The raw contender's trip: write, poll, read (as RawRoundTrips).
void RawTripLoop(const std::string& path, int trips, ReadyCallback ready) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) FailErrno("open " + path);
  termios t{};
  if (::tcgetattr(fd, &t) != 0) FailErrno("tcgetattr");
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) FailErrno("tcsetattr");
  ready();
  for (int i = 0; i < trips; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i);
    if (::write(fd, &byte, 1) != 1) FailErrno("trip loop (raw): write");
    std::uint8_t back = 0;
    for (;;) {
      if (!WaitReadable(fd, kWaitLimitMs)) Fail("trip loop (raw): no echo for 10 s");
      const ssize_t n = ::read(fd, &back, 1);
      if (n == 1) break;
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      FailErrno("trip loop (raw): read");
    }
    Check(back == byte, "trip loop (raw): the echo differs from the byte sent");
  }
  ::close(fd);
}

struct Kind {
  const char* mode;  // child mode "trips-<mode>"
  const std::string* contender;
};

const Kind kKinds[] = {
    {"raw", &kRaw},
    {"sp-blocking", &kSpBlocking},
    {"port-blocking", &kPortBlocking},
    {"port-none", &kPortNone},
    {"port-thread", &kPortThread},
    {"port-window", &kPortWindow},
};

struct Counted {
  double calls = 0;
  double futex = 0;
};

// The "total" and "futex" rows of strace's summary table.
Counted ParseSummary(const std::string& file) {
  std::ifstream in(file);
  Counted counted;
  bool total = false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.size() < 5) continue;
    const double calls = std::strtod(words[3].c_str(), nullptr);
    if (words.back() == "total") {
      counted.calls = calls;
      total = true;
    } else if (words.back() == "futex") {
      counted.futex = calls;
    }
  }
  Check(total, "no summary from strace in " + file);
  return counted;
}

// Runs `trips` trips of one kind in a traced child against an echoing far
// process; returns what strace counted.
Counted CountTrips(const Kind& kind, int trips) {
  Pty pty;
  // Late enough that every contender is waiting when the echo comes: under
  // the tracer a prompt echo is there before the read, and the waiting path
  // would never be counted.
  FarSide far({pty.Master()}, {FarJob::Kind::EchoLate, static_cast<std::uint64_t>(trips), kEchoLateMicros},
              Placement::Process);
  char file[] = "/tmp/cport-bench-strace-XXXXXX";
  const int fd = ::mkstemp(file);
  if (fd < 0) FailErrno("mkstemp");
  ::close(fd);
  Child child = StartChild(std::string("trips-") + kind.mode, std::to_string(trips) + ":" + pty.SlavePath(), {},
                           {kStrace, "-f", "-c", "-o", file});
  // The far side echoes once the child has the slave open: a master whose
  // slave nobody holds reads as a hang-up.
  Check(ReadChildLine(child, 60000) == "ready", "trip loop: no ready line");
  far.Go();
  FinishChild(child, 120000);
  far.Finish();
  const Counted counted = ParseSummary(file);
  ::unlink(file);
  return counted;
}

}  // namespace

std::string SyscallCounterProblem() {
  if (::access(kStrace, X_OK) != 0) return std::string(kStrace) + " is not installed";
  // Tracing may be refused (a container without ptrace).
  const std::string probe = std::string(kStrace) + " -f -c -o /dev/null /bin/true >/dev/null 2>&1";
  if (std::system(probe.c_str()) != 0) return "strace cannot trace here";
  return "";
}

namespace {

void SayReady() {
  std::printf("ready\n");
  std::fflush(stdout);
}

}  // namespace

int ChildTrips(const std::string& kind, const std::string& arg) {
  const std::size_t colon = arg.find(':');
  if (colon == std::string::npos) return 2;
  const int trips = std::atoi(arg.substr(0, colon).c_str());
  const std::string path = arg.substr(colon + 1);
  CPort::Runtime::SetMainThread();
  if (kind == "raw") RawTripLoop(path, trips, SayReady);
  else if (kind == "sp-blocking") SpBlockingTripLoop(path, trips, SayReady);
  else if (kind == "port-blocking") PortBlockingTripLoop(path, trips, SayReady);
  else if (kind == "port-none") PortEventTripLoop(path, trips, {Delivery::None, 0, false}, SayReady);
  else if (kind == "port-thread") PortEventTripLoop(path, trips, {Delivery::Thread, 0, false}, SayReady);
  else if (kind == "port-window") PortEventTripLoop(path, trips, {Delivery::Window, 0, false}, SayReady);
  else return 2;
  std::printf("trips=%d\n", trips);
  return 0;
}

void SyscallSection(const Options& o, Results& results) {
  const std::string problem = SyscallCounterProblem();
  if (!problem.empty()) {
    std::fprintf(stderr, "  system calls per trip not counted: %s\n", problem.c_str());
    return;
  }
  const int n = std::min(o.roundTrips, 500);
  const std::string how = "strace -f -c of the measuring process alone (all its threads), the far side untraced and"
                          " echoing each byte " + std::to_string(kEchoLateMicros / 1000) +
                          " ms late so that every contender waits; (count of " + std::to_string(2 * n) +
                          " trips - count of " + std::to_string(n) + ") / " + std::to_string(n) +
                          "; smNone and the hand-over rows include the benchmark's own wait for the handler";
  results.Declare({kTripSyscalls, "per trip", 2, kRaw, how});
  results.Declare({kTripFutex, "per trip", 2, "", ""});
  Options few = o;
  few.reps = std::min(o.reps, 3);  // counts barely vary
  for (int rep = 0; rep < few.reps; ++rep) {
    for (const Kind& kind : kKinds) {
      const Counted once = CountTrips(kind, n);
      const Counted twice = CountTrips(kind, 2 * n);
      const double calls = (twice.calls - once.calls) / n;
      const double futex = (twice.futex - once.futex) / n;
      results.Add(kTripSyscalls, *kind.contender, calls);
      results.Add(kTripFutex, *kind.contender, futex);
      if (o.verbose || !o.smoke) {
        std::fprintf(stderr, "  system calls rep %d %s: %.2f per trip, %.2f futex\n", rep, kind.contender->c_str(),
                     calls, futex);
      }
    }
  }
}

}  // namespace bench
