// cport_bench: the port component against plain termios + poll + read/write
// on pseudo-terminal pairs. Shared declarations of the benchmark's parts.
//
// Every measurement runs a "contender" once and returns one number; the main
// program interleaves the contenders, repeats, and prints medians, spreads
// and ratios to the raw contender of the same repetition.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Options {
  bool smoke = false;
  bool quick = false;
  bool verbose = false;
  int reps = 15;
  std::uint64_t bulkBytes = 32ull << 20;
  std::size_t chunk = 4096;
  int roundTrips = 20000;
  int warmupTrips = 500;
  int idleMs = 3000;
  int openCloseCycles = 200;
  int manyPorts = 64;
  // Input queue size given to the port for the bulk transfers.
  int queueSize = 65536;
  // Delivery methods the round trips run with (none, thread, window); empty: all.
  std::vector<std::string> syncs;
  // Sections to run; empty: all.
  std::vector<std::string> only;
  bool Runs(const std::string& section) const;
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

// Seconds any single wait in the benchmark may last before the run fails.
constexpr int kWaitLimitMs = 10000;

// A backstop for calls that have no limit of their own (the port's
// AwaitTransfer, ClosePort): while armed, a watchdog thread ends the process
// with a message once the limit has passed.
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
// opened by path, by the port or by the raw contender.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int Master() const { return master_; }
  const std::string& SlavePath() const { return path_; }
  // Opens the slave the way a plain POSIX program would: raw 8N1,
  // non-blocking, VMIN 1. `extraInputFlags` are added to c_iflag.
  int OpenSlaveRaw(unsigned extraInputFlags = 0) const;

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
      : pattern_(pattern), total_(total), who_(std::move(who)) {}
  // Fails the run on a byte that differs or on more bytes than expected.
  void Take(const std::uint8_t* data, std::size_t count);
  bool Complete() const { return received_ == total_; }
  std::uint64_t Received() const { return received_; }

 private:
  const Pattern& pattern_;
  std::uint64_t total_;
  std::uint64_t received_ = 0;
  std::string who_;
};

// ---- far side (the device end of the pty) ----------------------------------

// Writes `total` bytes of the pattern in `chunk`-sized writes.
void FarWrite(int master, const Pattern& pattern, std::uint64_t total, std::size_t chunk);
// Reads until `total` bytes came and checks them; returns the moment the
// last byte was read.
Clock::time_point FarDrain(int master, const Pattern& pattern, std::uint64_t total);
// Echoes every byte it reads until `count` bytes were echoed.
void FarEcho(int master, std::uint64_t count);

// ---- contenders --------------------------------------------------------------

// Bulk transfers: MiB/s.
double RawReceive(const Options& o, const Pattern& p);
// The raw contender with the input flags the port sets (INPCK | PARMRK, for
// line-error reporting): what those flags cost in the kernel alone.
double RawReceiveMarked(const Options& o, const Pattern& p);
double PortReceiveRxChar(const Options& o, const Pattern& p);
double PortReceiveOverlapped(const Options& o, const Pattern& p);
double RawSend(const Options& o, const Pattern& p);
double PortSendText(const Options& o, const Pattern& p);
double PortSendAsync(const Options& o, const Pattern& p);

// Round trips: microseconds of each one.
enum class LatencyKind { Raw, SyncNone, SyncThread, SyncWindow };
std::vector<double> RawRoundTrips(const Options& o);
std::vector<double> PortRoundTrips(const Options& o, LatencyKind kind);

// Open + close: cycles per second.
double RawOpenClose(const Options& o);
double PortOpenClose(const Options& o);

// Child processes: the benchmark re-invokes itself with --child MODE ARG and
// reads one line of key=value pairs from its output.
using KeyValues = std::map<std::string, double>;
int RunChildMode(const std::string& mode, const std::string& arg);
// Starts a child; returns its pid and the read end of its output.
struct Child {
  pid_t pid = -1;
  int out = -1;
};
Child StartChild(const std::string& mode, const std::string& arg);
KeyValues FinishChild(Child child, int limitMs);

// Idle (child modes "idle-raw" and "idle-port", argument: milliseconds):
// cpu_us, csw (voluntary + involuntary context switches), vcsw, ivcsw,
// threads, other_vcsw (those of threads other than the main one).
int ChildIdleRaw(int ms);
int ChildIdlePort(int ms);
// Peak RSS (child modes "rss-raw" and "rss-port", argument: ports): hwm_kib,
// rss_kib.
int ChildRssRaw(int ports);
int ChildRssPort(int ports);
// Status lines of /proc/self/status, in KiB.
long ProcStatusKiB(const char* key);

// CPU time of the whole process (all threads) and its context switches
// (voluntary + involuntary, all threads) so far.
struct ProcessCounters {
  double cpuMicros = 0;
  double switches = 0;
};
ProcessCounters ReadProcessCounters();

// ---- statistics ------------------------------------------------------------------

double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double fraction);
double Min(const std::vector<double>& values);
double Max(const std::vector<double>& values);

std::string Format(double value, int decimals);

}  // namespace bench
