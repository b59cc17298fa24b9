// The far side of a contender run, as a process of its own (how a program
// meets a real device) or as a thread of the benchmark.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "bench.h"

namespace bench {

namespace {

// Far side jobs have their own no-progress limits; this only bounds the whole.
constexpr int kFinishLimitMs = 300000;
// How long a far side waits to be told to start (the contender opens its
// ports meanwhile: 64 of them take a while on a busy machine).
constexpr int kGoLimitMs = 120000;

const char* KindName(FarJob::Kind kind) {
  switch (kind) {
    case FarJob::Kind::Write: return "write";
    case FarJob::Kind::Drain: return "drain";
    case FarJob::Kind::Echo: return "echo";
    case FarJob::Kind::EchoLate: return "echo-late";
    case FarJob::Kind::WriteMany: return "write-many";
  }
  return "?";
}

}  // namespace

const char* PlacementName(Placement where) { return where == Placement::Process ? "process" : "thread"; }

FarSide::FarSide(std::vector<int> masters, FarJob job, Placement where)
    : masters_(std::move(masters)), job_(job), where_(where) {
  if (where_ == Placement::Thread) {
    thread_ = std::thread([this] {
      if (!go_.WaitUntil(Clock::now() + std::chrono::milliseconds(kGoLimitMs))) Fail("far side: never told to start");
      report_ = RunFarJob(masters_, job_);
      done_.Raise();
    });
    return;
  }
  std::ostringstream arg;
  arg << KindName(job_.kind) << ',' << job_.bytes << ',' << job_.chunk << ',' << masters_.size();
  child_ = StartChild("far", arg.str(), masters_);
  const std::string line = ReadChildLine(child_, 30000);
  Check(line == "ready", "far side process: unexpected first line \"" + line + "\"");
}

FarSide::~FarSide() {
  if (finished_) return;
  if (where_ == Placement::Thread) {
    if (thread_.joinable()) Fail("far side thread abandoned while running");
    return;
  }
  if (child_.pid > 0) {
    ::kill(child_.pid, SIGKILL);
    FinishChild(child_, kFinishLimitMs);
  }
}

void FarSide::Go() {
  if (where_ == Placement::Thread) {
    go_.Raise();
    return;
  }
  const char go = 'g';
  if (::write(child_.in, &go, 1) != 1) FailErrno("far side process: start");
}

FarReport FarSide::Finish() {
  finished_ = true;
  if (where_ == Placement::Thread) {
    if (!done_.WaitUntil(Clock::now() + std::chrono::milliseconds(kFinishLimitMs))) {
      Fail("far side thread: its job did not end");
    }
    thread_.join();
    return report_;
  }
  const KeyValues values = FinishChild(child_, kFinishLimitMs);
  auto get = [&](const char* key) {
    const auto it = values.find(key);
    if (it == values.end()) Fail(std::string("far side process: no ") + key + " in its report");
    return it->second;
  };
  FarReport report;
  report.end = Clock::time_point(std::chrono::nanoseconds(static_cast<std::int64_t>(get("end_ns"))));
  report.usage.cpuMicros = get("cpu_us");
  report.usage.switches = get("csw");
  report.usage.migrations = get("migrations");
  // The echo CPUs come as one digit (base 36) per echo.
  const std::size_t at = child_.pending.find("echo_cpus=");
  if (at != std::string::npos) {
    for (std::size_t i = at + 10; i < child_.pending.size() && !std::isspace(static_cast<unsigned char>(child_.pending[i])); ++i) {
      const char c = child_.pending[i];
      report.echoCpus.push_back(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                : std::islower(static_cast<unsigned char>(c)) ? c - 'a' + 10
                                                                              : -1);
    }
  }
  return report;
}

// Child mode "far": ARG is KIND,BYTES,CHUNK,COUNT; the masters are
// descriptors 3 .. 3 + COUNT - 1. Prints "ready", waits for one byte on its
// input, does the job and prints what it measured.
int ChildFar(const std::string& arg) {
  char kind[32] = {};
  unsigned long long bytes = 0;
  std::size_t chunk = 0;
  int count = 0;
  if (std::sscanf(arg.c_str(), "%31[^,],%llu,%zu,%d", kind, &bytes, &chunk, &count) != 4 || count <= 0 ||
      chunk == 0) {
    Fail("far side process: bad job " + arg);
  }
  FarJob job;
  job.bytes = bytes;
  job.chunk = chunk;
  const std::string name = kind;
  if (name == "write") job.kind = FarJob::Kind::Write;
  else if (name == "drain") job.kind = FarJob::Kind::Drain;
  else if (name == "echo") job.kind = FarJob::Kind::Echo;
  else if (name == "echo-late") job.kind = FarJob::Kind::EchoLate;
  else if (name == "write-many") job.kind = FarJob::Kind::WriteMany;
  else Fail("far side process: bad job kind " + name);
  std::vector<int> masters;
  for (int i = 0; i < count; ++i) masters.push_back(3 + i);

  std::printf("ready\n");
  std::fflush(stdout);
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, kGoLimitMs);
  } while (ready < 0 && errno == EINTR);
  char go = 0;
  if (ready <= 0 || ::read(STDIN_FILENO, &go, 1) != 1 || go != 'g') Fail("far side process: never told to start");

  const UsageMeter meter;
  const FarReport report = RunFarJob(masters, job);
  const Usage usage = meter.Read();
  std::printf("end_ns=%lld cpu_us=%.1f csw=%.0f migrations=%.0f\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::nanoseconds>(report.end.time_since_epoch()).count()),
              usage.cpuMicros, usage.switches, usage.migrations);
  if (!report.echoCpus.empty()) {
    std::string cpus = "echo_cpus=";
    for (int cpu : report.echoCpus) cpus += cpu >= 0 && cpu < 36 ? "0123456789abcdefghijklmnopqrstuvwxyz"[cpu] : '-';
    std::printf("%s\n", cpus.c_str());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace bench
