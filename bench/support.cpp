// Failures, the watchdog, pty pairs, the data pattern and poll helpers.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "bench.h"

namespace bench {

bool Options::Runs(const std::string& section) const {
  return only.empty() || std::find(only.begin(), only.end(), section) != only.end();
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "cport_bench: FAILED: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

void FailErrno(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

// ---- watchdog ---------------------------------------------------------------

namespace {

struct Watchdog {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Clock::time_point> deadline;
  std::string what;
  int seconds = 0;
  bool started = false;

  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (!deadline) {
        changed.wait(lock);
        continue;
      }
      const Clock::time_point until = *deadline;
      if (changed.wait_until(lock, until) == std::cv_status::timeout && deadline && *deadline <= Clock::now()) {
        Fail(what + " took longer than " + std::to_string(seconds) + " s");
      }
    }
  }
};

Watchdog& TheWatchdog() {
  static Watchdog* dog = new Watchdog;  // never destroyed: its thread runs until exit
  return *dog;
}

}  // namespace

WatchdogScope::WatchdogScope(std::string what, std::chrono::seconds limit) {
  Watchdog& dog = TheWatchdog();
  {
    std::lock_guard lock(dog.mutex);
    if (!dog.started) {
      dog.started = true;
      std::thread([&dog] { dog.Run(); }).detach();
    }
    dog.what = std::move(what);
    dog.seconds = static_cast<int>(limit.count());
    dog.deadline = Clock::now() + limit;
  }
  dog.changed.notify_all();
}

WatchdogScope::~WatchdogScope() {
  Watchdog& dog = TheWatchdog();
  {
    std::lock_guard lock(dog.mutex);
    dog.deadline.reset();
  }
  dog.changed.notify_all();
}

void Signal::Raise() {
  {
    std::lock_guard lock(mutex_);
    raised_ = true;
  }
  changed_.notify_one();
}

bool Signal::WaitUntil(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_until(lock, deadline, [this] { return raised_; })) return false;
  raised_ = false;
  return true;
}

// ---- pty ------------------------------------------------------------------------

Pty::Pty() {
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) FailErrno("openpty");
  termios t{};
  if (::tcgetattr(slave, &t) != 0) FailErrno("tcgetattr on a new pty");
  ::cfmakeraw(&t);
  if (::tcsetattr(slave, TCSANOW, &t) != 0) FailErrno("tcsetattr on a new pty");
  ::close(slave);  // the contenders open their own descriptor by path
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) FailErrno("O_NONBLOCK on the pty master");
  path_ = name;
}

Pty::~Pty() {
  if (master_ >= 0) ::close(master_);
}

int Pty::OpenSlaveRaw() const {
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) FailErrno("open " + path_);
  termios t{};
  if (::tcgetattr(fd, &t) != 0) FailErrno("tcgetattr " + path_);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) FailErrno("tcsetattr " + path_);
  return fd;
}

namespace {

bool WaitFor(int fd, short events, int limitMs) {
  pollfd p{fd, events, 0};
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (ready > 0) {
      if (p.revents & events) return true;
      Fail("poll reported " + std::to_string(p.revents) + " (hang-up or error) on descriptor " + std::to_string(fd));
    }
    if (ready == 0) return false;
    if (errno != EINTR) FailErrno("poll");
  }
}

}  // namespace

bool WaitReadable(int fd, int limitMs) { return WaitFor(fd, POLLIN, limitMs); }
bool WaitWritable(int fd, int limitMs) { return WaitFor(fd, POLLOUT, limitMs); }

// ---- data ------------------------------------------------------------------------

Pattern::Pattern(std::size_t chunk) : chunk_(chunk), period_(17 * chunk), bytes_(period_ + chunk) {
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < period_; ++i) {
    // xorshift64*: every byte value, in no order a line discipline cares about.
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    bytes_[i] = static_cast<std::uint8_t>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  std::copy_n(bytes_.begin(), chunk_, bytes_.begin() + static_cast<std::ptrdiff_t>(period_));
  for (std::size_t i = 0; i < 17; ++i) {
    texts_.emplace_back(reinterpret_cast<const char*>(bytes_.data() + i * chunk_), chunk_);
  }
}

bool Pattern::Matches(std::uint64_t offset, const std::uint8_t* data, std::size_t count) const {
  while (count > 0) {
    const std::size_t at = offset % period_;
    const std::size_t part = std::min(count, bytes_.size() - at);
    if (std::memcmp(bytes_.data() + at, data, part) != 0) return false;
    offset += part;
    data += part;
    count -= part;
  }
  return true;
}

void StreamCheck::Take(const std::uint8_t* data, std::size_t count) {
  if (received_ + count > total_) {
    Fail(who_ + ": " + std::to_string(received_ + count) + " bytes arrived, " + std::to_string(total_) +
         " were sent");
  }
  if (!pattern_->Matches(received_, data, count)) {
    std::size_t at = 0;
    while (at < count && pattern_->At(received_ + at)[0] == data[at]) ++at;
    Fail(who_ + ": data differs from what was sent at stream offset " + std::to_string(received_ + at));
  }
  received_ += count;
}

double MiBPerSecond(std::uint64_t bytes, Clock::duration took) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(took).count();
}

// ---- statistics ------------------------------------------------------------------

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  // Nearest rank.
  const double rank = fraction * static_cast<double>(values.size());
  std::size_t index = rank <= 1 ? 0 : static_cast<std::size_t>(rank + 0.999999) - 1;
  index = std::min(index, values.size() - 1);
  return values[index];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Min(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string Format(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace bench
