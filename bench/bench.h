// cport_bench: the port component against plain termios + poll and against
// the serial libraries a Linux program would otherwise use (libserialport,
// QSerialPort, boost.asio), on pseudo-terminal pairs. Shared declarations of
// the benchmark's parts.
//
// Every measurement runs a "contender" once and returns its figures; the main
// program interleaves the contenders, repeats, and prints medians, spreads and
// ratios to the raw contender of the same repetition. The far side of each pty
// (the "device") runs in a process of its own, as a real device is outside the
// program; a few rows run it as a thread of the benchmark instead, to show
// what that changes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Options {
  bool smoke = false;
  bool quick = false;
  bool verbose = false;
  int reps = 11;
  std::uint64_t bulkBytes = 16ull << 20;
  std::size_t chunk = 4096;
  int roundTrips = 10000;
  int warmupTrips = 500;
  int idleMs = 3000;
  int openCloseCycles = 200;
  // The scaling row: this many ports receive at once, each this much.
  int manyPorts = 64;
  std::uint64_t manyBytesEach = 512ull << 10;
  // Ports held open to measure threads and memory per port.
  int holdPorts = 64;
  // Sections to run; empty: all.
  std::vector<std::string> only;
  bool Runs(const std::string& section) const;
  // The most any single contender run may take before the run fails.
  std::chrono::seconds RunLimit() const { return std::chrono::seconds(smoke ? 60 : 300); }
};

// ---- failures and limits ----------------------------------------------------

// Prints the reason and ends the process with status 1. A benchmark whose data
// arrived wrong or whose call failed has no figures worth printing.
[[noreturn]] void Fail(const std::string& what);
// Fail with the text of errno appended.
[[noreturn]] void FailErrno(const std::string& what);
inline void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// Milliseconds any single wait for progress may last before the run fails.
constexpr int kWaitLimitMs = 10000;

// A backstop for calls that have no limit of their own (the port's
// AwaitTransfer, ClosePort, an event loop): while armed, a watchdog thread ends
// the process with a message once the limit has passed.
class WatchdogScope {
 public:
  WatchdogScope(std::string what, std::chrono::seconds limit);
  ~WatchdogScope();
  WatchdogScope(const WatchdogScope&) = delete;
  WatchdogScope& operator=(const WatchdogScope&) = delete;
};

// A flag one thread raises and another waits for, with a limit. Built on a
// mutex and a condition variable: the waiter sleeps in the kernel at once
// (std::counting_semaphore in this library spins and sleeps in steps before
// it blocks, which would disturb the very wake-ups being measured).
class Signal {
 public:
  void Raise();
  // Waits until raised (and lowers it); false when the deadline passed.
  bool WaitUntil(Clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

// ---- pseudo-terminals ---------------------------------------------------------

// A pty pair: the master is the far side (raw, non-blocking); the slave is
// opened by path, by the contender.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int Master() const { return master_; }
  const std::string& SlavePath() const { return path_; }
  // Opens the slave the way a plain POSIX program would: raw 8N1,
  // non-blocking, VMIN 1.
  int OpenSlaveRaw() const;

 private:
  int master_ = -1;
  std::string path_;
};

// Poll helpers; false when the limit passed. POLLHUP/POLLERR fail the run.
bool WaitReadable(int fd, int limitMs);
bool WaitWritable(int fd, int limitMs);

// ---- data -----------------------------------------------------------------------

// The bulk data: pseudo-random bytes (every value, 0xFF included) repeating
// with a period of 17 chunks. Received data is checked byte for byte against
// the pattern at its stream offset: stronger than a checksum, and about as
// cheap (memcmp).
class Pattern {
 public:
  explicit Pattern(std::size_t chunk);
  std::size_t Period() const { return period_; }
  std::size_t Chunk() const { return chunk_; }
  // The bytes at a stream offset; at least `Chunk()` of them are contiguous.
  const std::uint8_t* At(std::uint64_t offset) const { return bytes_.data() + offset % period_; }
  // The chunk that starts at offset i * Chunk(), as a string (for SendText).
  const std::string& ChunkText(std::uint64_t index) const { return texts_[index % texts_.size()]; }
  bool Matches(std::uint64_t offset, const std::uint8_t* data, std::size_t count) const;

 private:
  std::size_t chunk_;
  std::size_t period_;
  std::vector<std::uint8_t> bytes_;  // period_ + chunk_ bytes
  std::vector<std::string> texts_;
};

// Verifies a received stream as it arrives.
class StreamCheck {
 public:
  StreamCheck(const Pattern& pattern, std::uint64_t total, std::string who)
      : pattern_(&pattern), total_(total), who_(std::move(who)) {}
  // Fails the run on a byte that differs or on more bytes than expected.
  void Take(const std::uint8_t* data, std::size_t count);
  bool Complete() const { return received_ == total_; }
  std::uint64_t Received() const { return received_; }
  std::uint64_t Total() const { return total_; }

 private:
  const Pattern* pattern_;
  std::uint64_t total_;
  std::uint64_t received_ = 0;
  std::string who_;
};

double MiBPerSecond(std::uint64_t bytes, Clock::duration took);

// ---- process counters ---------------------------------------------------------

// CPU time and context switches of the whole process (all threads, the ended
// ones included), and CPU migrations of the threads started while the meter
// runs (a perf software counter; NaN when the kernel refuses it).
struct Usage {
  double cpuMicros = 0;
  double switches = 0;
  double voluntary = 0;  // of `switches`: a thread went to sleep (and was woken again)
  double migrations = 0;
};

class UsageMeter {
 public:
  UsageMeter();
  ~UsageMeter();
  UsageMeter(const UsageMeter&) = delete;
  UsageMeter& operator=(const UsageMeter&) = delete;
  Usage Read() const;

 private:
  Usage start_;
  int perf_ = -1;
};
// Why migrations cannot be counted here, or empty.
std::string MigrationCounterProblem();

// ---- child processes --------------------------------------------------------------

// The benchmark re-invokes itself with --child MODE ARG; the child reads
// commands on its standard input and prints lines of key=value pairs.
using KeyValues = std::map<std::string, double>;
int RunChildMode(const std::string& mode, const std::string& arg);
struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's standard output
  int in = -1;   // the child's standard input
  std::string pending;  // read from `out`, not yet taken
};
// Starts a child; `pass` descriptors become its descriptors 3, 4, ...
// The child is killed when the thread that started it ends.
// `wrapper` (a tracer and its arguments) runs the child under it.
Child StartChild(const std::string& mode, const std::string& arg, const std::vector<int>& pass = {},
                 const std::vector<std::string>& wrapper = {});
// One line of the child's output (without the newline); fails the run when
// none comes within the limit.
std::string ReadChildLine(Child& child, int limitMs);
// Closes its input, reads the rest of its output, waits for its end and
// returns the key=value pairs of everything it printed.
KeyValues FinishChild(Child& child, int limitMs);
KeyValues ParseKeyValues(const std::string& text);

// Status lines of /proc/self/status ("VmRSS:", "Threads:").
long ProcStatus(const char* key);

// ---- far side (the device end of the pty) ----------------------------------

enum class Placement { Process, Thread };
const char* PlacementName(Placement where);

struct FarJob {
  enum class Kind { Write, Drain, Echo, EchoLate, WriteMany };
  Kind kind = Kind::Write;
  // Write, Drain: bytes of the pattern; WriteMany: bytes per master; Echo,
  // EchoLate: bytes to echo (EchoLate: each `chunk` microseconds late).
  std::uint64_t bytes = 0;
  std::size_t chunk = 4096;
};

// What the far side reports once its job is done: the moment the last byte
// was written or read, and (for a far process) its own counters over the job.
struct FarReport {
  Clock::time_point end;
  Usage usage;
  // Echo: the CPU each echo was written on, in order.
  std::vector<int> echoCpus;
};

// Runs the job on the masters in the calling thread.
FarReport RunFarJob(const std::vector<int>& masters, const FarJob& job);

// The far side of one contender run: started (process or thread) and ready
// when constructed, doing its job after Go().
class FarSide {
 public:
  FarSide(std::vector<int> masters, FarJob job, Placement where);
  ~FarSide();
  FarSide(const FarSide&) = delete;
  FarSide& operator=(const FarSide&) = delete;
  void Go();
  // Waits for the job's end (fails the run past the limit).
  FarReport Finish();

 private:
  std::vector<int> masters_;
  FarJob job_;
  Placement where_;
  Child child_;
  std::thread thread_;
  Signal go_;
  Signal done_;
  FarReport report_;
  bool finished_ = false;
};

// ---- contenders --------------------------------------------------------------

// How the port delivers its events.
enum class Delivery { None, Thread, Window };
const char* DeliveryName(Delivery d);

// The port as the contender uses it: at its defaults (all ten events armed,
// default queue sizes) except where set.
struct PortSetup {
  Delivery delivery = Delivery::Thread;
  int queue = 0;            // input and output queue size; 0: the default
  bool rxCharOnly = false;  // arm evRxChar alone
};

struct Trips {
  std::vector<double> micros;  // one per measured round trip
  std::vector<int> cpus;       // per trip, warm-up included: the CPU the echo was taken on
  FarReport far;               // the far process's counters are zero for a thread
};
// The share of measured trips whose echo was taken on the CPU the far side
// wrote it on; NaN when that is not known.
double SameCpuShare(const Trips& trips, int warmup);
// The CPU the calling thread runs on.
int CurrentCpu();

// Raw termios + poll + read/write (raw_posix.cpp, raw_handoff.cpp).
double RawReceive(const Options& o, const Pattern& p, Placement where);
double RawSend(const Options& o, const Pattern& p);
Trips RawRoundTrips(const Options& o, Placement where);
Trips HandoffRoundTrips(const Options& o);
double RawOpenClose(const Options& o, bool watcher);

// The port.
double PortReceive(const Options& o, const Pattern& p, const PortSetup& setup, Placement where);
double PortSendText(const Options& o, const Pattern& p);
double PortSendAsync(const Options& o, const Pattern& p);
Trips PortRoundTrips(const Options& o, const PortSetup& setup, Placement where);
// No events, every call blocking: SendText, and ReceiveBytes returning at the
// first byte (port_blocking.cpp).
double PortBlockingReceive(const Options& o, const Pattern& p);
double PortBlockingSend(const Options& o, const Pattern& p);
Trips PortBlockingRoundTrips(const Options& o);
// Trip loops against a far side on `path`'s master, for the system call
// counts (trip_syscalls.cpp): `ready` is called once the port is open (the
// far side starts echoing then).
using ReadyCallback = void (*)();
void PortBlockingTripLoop(const std::string& path, int trips, ReadyCallback ready);
void PortEventTripLoop(const std::string& path, int trips, const PortSetup& setup, ReadyCallback ready);
void SpBlockingTripLoop(const std::string& path, int trips, ReadyCallback ready);
// Child mode "trips-KIND" (argument: "TRIPS:SLAVE-PATH").
int ChildTrips(const std::string& kind, const std::string& arg);
// Why system calls cannot be counted here, or empty.
std::string SyscallCounterProblem();
double PortOpenClose(const Options& o);

// The peers.
double SpReceive(const Options& o, const Pattern& p);
double SpSend(const Options& o, const Pattern& p);
Trips SpRoundTrips(const Options& o);
Trips SpBlockingRoundTrips(const Options& o);  // sp_blocking_write + sp_blocking_read_next
double SpOpenClose(const Options& o);
double QtReceive(const Options& o, const Pattern& p);
double QtSend(const Options& o, const Pattern& p);
Trips QtRoundTrips(const Options& o);
double QtOpenClose(const Options& o);
double AsioReceive(const Options& o, const Pattern& p);
double AsioSend(const Options& o, const Pattern& p);
Trips AsioRoundTrips(const Options& o);
double AsioOpenClose(const Options& o);

// Many ports receiving at once (many_ports.cpp): the receiving process's CPU
// per MiB and the total rate.
struct ManyResult {
  double cpuMsPerMiB = 0;
  double switchesPerMiB = 0;  // context switches of the receiving process
  double mibPerSecond = 0;
};
ManyResult RawManyReceive(const Options& o, const Pattern& p);
ManyResult PortManyReceive(const Options& o, const Pattern& p, Delivery delivery);

// Child modes "hold-KIND" (argument: ports, at least 2) open that many ports
// of one kind and print threads= and rss_kib= per port: the growth from the
// first open port (which pays what a library sets up once per process) to
// all of them, divided by the further ports. KIND: raw, port, sp, qt, asio.
int ChildHold(const std::string& kind, int ports);
// Per-kind parts of it: open a port on each path, calling `opened(1)` after
// the first and `opened(paths.size())` once all are open and settled.
using OpenedCallback = void (*)(std::size_t opened);
void HoldRaw(const std::vector<std::string>& paths, OpenedCallback opened);
void HoldPort(const std::vector<std::string>& paths, OpenedCallback opened);
void HoldSp(const std::vector<std::string>& paths, OpenedCallback opened);
void HoldQt(const std::vector<std::string>& paths, OpenedCallback opened);
void HoldAsio(const std::vector<std::string>& paths, OpenedCallback opened);

// Idle (child modes "idle-raw" and "idle-port", argument: milliseconds):
// cpu_us, csw (voluntary + involuntary context switches), vcsw, ivcsw,
// threads, other_vcsw (those of threads other than the main one).
int ChildIdleRaw(int ms);
int ChildIdlePort(int ms);

// A path to a pty slave that libserialport accepts: a symbolic link to the
// slave, named through a path that climbs out of /dev (peer_libserialport.cpp
// says why). The link is removed with the object.
class SpLink {
 public:
  explicit SpLink(const std::string& slave);
  ~SpLink();
  SpLink(const SpLink&) = delete;
  SpLink& operator=(const SpLink&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string link_;
  std::string path_;
};

// ---- statistics ------------------------------------------------------------------

double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);
double Min(const std::vector<double>& values);
double Max(const std::vector<double>& values);

std::string Format(double value, int decimals);

}  // namespace bench
