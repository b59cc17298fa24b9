#include "tty_backend_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device_errors_p.h"
#include "interruptible_thread_p.h"
#include "parmrk_decoder.h"
#include "termios2_linux_p.h"
#include "termios_mapping.h"
#include "tty_lines_p.h"

namespace CPort::Platform {

namespace {

// How a vanished device (unplugged adapter, closed pty master) answers.
bool IsDeviceGone(int error) { return IsDeviceGoneError(error); }

class TtyBackend final : public DeviceBackend {
 public:
  explicit TtyBackend(int fd) : fd_(fd) {
    struct stat st{};
    // Unix98 pty slaves have majors 136..143: no line errors, and no output
    // queue of their own (tx-empty is at once).
    isPty_ = fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  }
  ~TtyBackend() override {
    Detach();
    Close();
  }
  TtyBackend(const TtyBackend&) = delete;
  TtyBackend& operator=(const TtyBackend&) = delete;

  void Attach(DeviceSink* sink) override;
  void Detach() override;
  void Close() override;

  // The kernel's queues have a fixed size; the engine keeps the sizes asked
  // for and sizes its own input queue by them.
  int SetupQueues(DWORD, DWORD) override { return 0; }
  int ApplyState(const DCB& dcb) override;
  // The engine times transfers itself; the descriptor stays non-blocking.
  int ApplyTimeouts(const COMMTIMEOUTS&) override { return 0; }

  int PollFd() const override { return fd_; }
  bool ReadsUnchanged() const override { return plain_.load(std::memory_order_relaxed); }
  void WatchEvents(DWORD mask) override;
  ssize_t Read(std::uint8_t* buffer, std::size_t count) override;
  ssize_t Write(const std::uint8_t* data, std::size_t count) override;
  int OutputQueued(DWORD& count) override;
  void WatchTxEmpty() override;
  int ModemStatus(DWORD& status) override;
  int Purge(DWORD flags) override;
  int SetBreak(bool on) override;

 private:
  DWORD ClassifyMarkedInput(std::size_t errorBytes);
  void WatchModemLines();
  void DrainOutput();
  // Reports from the backend's own threads.
  void ReportEvents(DWORD events);
  void ReportFailure(int error);

  int fd_;
  bool isPty_ = false;
  bool marked_ = true;
  // Read returns the descriptor's bytes as they are: no marking to decode,
  // no zero bytes to drop, no counters to consult.
  std::atomic<bool> plain_{false};
  std::atomic<DeviceSink*> sink_{nullptr};
  std::atomic<bool> stopping_{false};

  // Input side: Read, and the settings it decodes by.
  std::mutex readMutex_;
  ParmrkDecoder decoder_;
  bool reportParity_ = false;
  bool lineHasParity_ = false;
  bool haveCounters_ = false;  // the driver keeps error counters (not a pty)
  LineCounters readCounters_;

  // The modem-line watcher runs only while a modem event is in the mask and
  // the device has modem lines.
  bool hasModemLines_ = false;
  std::atomic<bool> modemStopping_{false};
  InterruptibleThread modemThread_;

  // Drain watch: a thread started when output is still queued as the engine
  // asks for tx-empty; it waits in tcdrain for each request and ends once
  // it has reported and nothing more was asked.
  std::mutex drainMutex_;
  std::condition_variable drainWake_;
  bool drainRequested_ = false;
  bool draining_ = false;
  bool drainThreadStarted_ = false;
  InterruptibleThread drainThread_;
};

void TtyBackend::Attach(DeviceSink* sink) {
  sink_ = sink;
  stopping_ = false;
  {
    std::lock_guard lock(readMutex_);
    haveCounters_ = ReadLineCounters(fd_, readCounters_) == 0;
    plain_ = !marked_ && !haveCounters_;
  }
  // Ptys have no modem lines (ENOTTY): no watcher for them, ever.
  int lines = 0;
  hasModemLines_ = ReadModemLines(fd_, lines) == 0;
}

void TtyBackend::WatchEvents(DWORD mask) {
  const bool wanted = hasModemLines_ && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) != 0;
  if (wanted == modemThread_.Running()) return;
  if (!wanted) {
    modemStopping_ = true;
    modemThread_.Join();
    return;
  }
  modemStopping_ = false;
  if (modemThread_.Start([this] { WatchModemLines(); }) != 0) {
    // Without the thread no line change would ever be reported.
    if (DeviceSink* sink = sink_.load()) sink->LineErrors(CE_IOE);
  }
}

void TtyBackend::Detach() {
  stopping_ = true;
  modemStopping_ = true;
  {
    std::lock_guard lock(drainMutex_);
    drainWake_.notify_all();
  }
  drainThread_.Join();
  modemThread_.Join();
  {
    std::lock_guard lock(drainMutex_);
    drainThreadStarted_ = false;
    drainRequested_ = false;
    draining_ = false;
  }
  sink_ = nullptr;
}

void TtyBackend::Close() {
  if (fd_ < 0) return;
  // The exclusive flag may outlive this descriptor on some drivers and
  // would then lock out the next non-root user. The flock goes with close.
  ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

int TtyBackend::ApplyState(const DCB& dcb) {
  TtySettings settings;
  if (const int error = MapDcbToTermios(dcb, settings); error != 0) return error;
  // A pty has no line errors to mark: marking would only double every \377
  // and send each byte through the kernel's slow per-character path.
  if (isPty_) settings.iflag &= ~static_cast<std::uint32_t>(INPCK | PARMRK);
  if (const int error = ApplyTermios2(fd_, settings); error != 0) return error;
  // ENOTTY: a pty has no DTR or RTS to set.
  if (const int error = SetControlLines(fd_, settings.raiseDtr, settings.raiseRts);
      error != 0 && error != ENOTTY) {
    return error;
  }
  std::lock_guard lock(readMutex_);
  marked_ = (settings.iflag & PARMRK) != 0 || settings.dropNull;
  plain_ = !marked_ && !haveCounters_;
  decoder_.SetMarked((settings.iflag & PARMRK) != 0);
  decoder_.SetDropNull(settings.dropNull);
  reportParity_ = settings.reportParity;
  lineHasParity_ = dcb.Parity != NOPARITY;
  return 0;
}

// Which errors the marked bytes (and any overrun) of one read were. The
// stream only says "damaged"; the driver's counters tell framing, parity
// and overrun apart. Without counters a marked byte counts as a parity error
// when parity is checked and as a framing error otherwise.
DWORD TtyBackend::ClassifyMarkedInput(std::size_t errorBytes) {
  DWORD counted = 0;
  if (haveCounters_) {
    LineCounters now;
    if (ReadLineCounters(fd_, now) == 0) {
      counted = LineErrorsBetween(readCounters_, now);
      readCounters_ = now;
    }
  }
  if (errorBytes > 0 && (counted & (CE_FRAME | CE_RXPARITY)) == 0) {
    counted |= (reportParity_ && lineHasParity_) ? CE_RXPARITY : CE_FRAME;
  }
  // Without fParity, Windows does not check parity: such bytes pass as data.
  if (!reportParity_) counted &= ~CE_RXPARITY;
  return counted;
}

ssize_t TtyBackend::Read(std::uint8_t* buffer, std::size_t count) {
  if (count == 0) return 0;
  ssize_t result = 0;
  DWORD errors = 0;
  {
    std::lock_guard lock(readMutex_);
    // Retried: EINTR (a signal hit the call, nothing was read) and a chunk
    // that held only markers or dropped zero bytes (more data may follow).
    // EAGAIN ends the loop: the descriptor is non-blocking and the engine
    // polls before it reads again.
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, count);
      if (got < 0) {
        if (errno == EINTR) continue;
        result = -errno;
        break;
      }
      // With VMIN 1 an empty non-blocking read gives EAGAIN; 0 only comes
      // from a hung-up line.
      if (got == 0) {
        result = -EIO;
        break;
      }
      if (!marked_ && !haveCounters_) {
        result = got;
        break;
      }
      const ParmrkDecoder::Result decoded = decoder_.Decode(buffer, static_cast<std::size_t>(got));
      if (decoded.breaks > 0) errors |= CE_BREAK;
      if (decoded.errorBytes > 0 || haveCounters_) errors |= ClassifyMarkedInput(decoded.errorBytes);
      if (decoded.bytes > 0) {
        result = static_cast<ssize_t>(decoded.bytes);
        break;
      }
    }
  }
  // The engine raises EV_BREAK (and EV_ERR) from these.
  if (errors != 0) {
    if (DeviceSink* sink = sink_.load()) sink->LineErrors(errors);
  }
  return result;
}

ssize_t TtyBackend::Write(const std::uint8_t* data, std::size_t count) {
  if (count == 0) return 0;
  for (;;) {
    const ssize_t written = ::write(fd_, data, count);
    if (written >= 0) return written;
    if (errno != EINTR) return -errno;  // EAGAIN: the kernel's queue is full
  }
}

int TtyBackend::OutputQueued(DWORD& count) {
  if (isPty_) {
    count = 0;
    return 0;
  }
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return errno;
  count = static_cast<DWORD>(queued);
  return 0;
}

void TtyBackend::WatchTxEmpty() {
  std::unique_lock lock(drainMutex_);
  if (draining_ || drainRequested_) {
    // The running drain may have begun before the newest bytes: it drains
    // once more before it reports.
    drainRequested_ = true;
    drainWake_.notify_all();
    return;
  }
  if (isPty_) {
    lock.unlock();
    if (DeviceSink* sink = sink_.load()) sink->LineEvents(EV_TXEMPTY);
    return;
  }
  int queued = 0;
  // A pty always says 0; so does a UART whose output is out. A failing
  // ioctl is left to tcdrain, which reports a lost device.
  if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued == 0) {
    lock.unlock();
    if (DeviceSink* sink = sink_.load()) sink->LineEvents(EV_TXEMPTY);
    return;
  }
  drainRequested_ = true;
  if (!drainThreadStarted_) {
    if (drainThread_.Start([this] { DrainOutput(); }) != 0) {
      drainRequested_ = false;
      lock.unlock();
      if (DeviceSink* sink = sink_.load()) sink->LineErrors(CE_IOE);
      return;
    }
    drainThreadStarted_ = true;
  }
  drainWake_.notify_all();
}

void TtyBackend::DrainOutput() {
  std::unique_lock lock(drainMutex_);
  while (drainRequested_ && !stopping_) {
    drainRequested_ = false;
    draining_ = true;
    lock.unlock();
    int error = 0;
    while (tcdrain(fd_) != 0) {
      if (errno != EINTR) {
        error = errno;
        break;
      }
      if (stopping_) return;
    }
    lock.lock();
    if (error == 0 && drainRequested_) continue;  // more output came meanwhile
    draining_ = false;
    lock.unlock();
    if (error != 0) {
      ReportFailure(error);
    } else {
      ReportEvents(EV_TXEMPTY);
    }
    lock.lock();
    if (error != 0 && IsDeviceGone(error)) break;
  }
  // Nothing more to drain: the thread ends; the next request starts another.
  drainThreadStarted_ = false;
}

void TtyBackend::WatchModemLines() {
  using Clock = std::chrono::steady_clock;
  // A driver that answers the wait at once without any change would turn
  // this loop into a spin; after a few such answers in a row it is left.
  constexpr auto kQuickReturn = std::chrono::milliseconds(10);
  constexpr int kQuickReturnsAllowed = 3;

  int lines = 0;
  if (const int error = ReadModemLines(fd_, lines); error != 0) return ReportFailure(error);
  LineCounters counters;
  const bool haveCounters = ReadLineCounters(fd_, counters) == 0;
  int quickReturns = 0;
  while (!stopping_ && !modemStopping_) {
    const Clock::time_point began = Clock::now();
    if (ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG) != 0) {
      const int error = errno;
      if (error == EINTR) continue;  // the wake-up signal; the loop condition decides
      // ENOTTY/EINVAL: the driver cannot wait for line changes at all.
      if (error != ENOTTY && error != EINVAL) ReportFailure(error);
      return;
    }
    int nowLines = 0;
    if (const int error = ReadModemLines(fd_, nowLines); error != 0) return ReportFailure(error);
    DWORD events = 0;
    LineCounters nowCounters;
    if (haveCounters && ReadLineCounters(fd_, nowCounters) == 0) {
      events = LineChangeEvents(counters, nowCounters);
      counters = nowCounters;
    } else {
      events = LineChangeEvents(lines, nowLines);
    }
    lines = nowLines;
    if (events != 0) {
      quickReturns = 0;
      ReportEvents(events);
    } else if (Clock::now() - began < kQuickReturn) {
      if (++quickReturns >= kQuickReturnsAllowed) return;
    } else {
      quickReturns = 0;
    }
  }
}

void TtyBackend::ReportEvents(DWORD events) {
  InterruptibleThread::QuietSection quiet;
  if (DeviceSink* sink = sink_.load()) sink->LineEvents(events);
}

void TtyBackend::ReportFailure(int error) {
  InterruptibleThread::QuietSection quiet;
  DeviceSink* sink = sink_.load();
  if (sink == nullptr) return;
  if (IsDeviceGone(error)) {
    sink->DeviceLost(error);
  } else {
    sink->LineErrors(CE_IOE);
  }
}

int TtyBackend::ModemStatus(DWORD& status) {
  int lines = 0;
  const int error = ReadModemLines(fd_, lines);
  if (error == ENOTTY) {  // a pty: no modem lines
    status = 0;
    return 0;
  }
  if (error != 0) return error;
  status = ModemStatusBits(lines);
  return 0;
}

int TtyBackend::Purge(DWORD flags) {
  const bool rx = (flags & PURGE_RXCLEAR) != 0;
  // A pseudo-terminal has no output queue of its own: what was written is
  // the far side's already. Flushing the output there throws away what the
  // kernel has not yet handed on to the far side's reader, so a port that
  // closed right after writing (its event thread purges on the way out)
  // lost its last bytes whenever that hand-on lagged.
  const bool tx = (flags & PURGE_TXCLEAR) != 0 && !isPty_;
  if (!rx && !tx) return 0;
  const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
  if (tcflush(fd_, queue) != 0) return errno;
  if (rx) {
    // A marker begun in the discarded input must not swallow the next byte.
    std::lock_guard lock(readMutex_);
    decoder_.Reset();
  }
  return 0;
}

int TtyBackend::SetBreak(bool on) { return ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno; }

}  // namespace

std::unique_ptr<DeviceBackend> OpenTtyDevice(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  auto fail = [&](int code) -> std::unique_ptr<DeviceBackend> {
    ::close(fd);
    error = code;
    return nullptr;
  };
  if (!isatty(fd)) return fail(ENOTTY);
  // flock refuses a second holder also for root; TIOCEXCL alone does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  // TIOCEXCL also keeps out programs that do not take the flock. It is an
  // addition only: where a driver refuses it, the flock still guards.
  ioctl(fd, TIOCEXCL);

  // Raw 8N1 at the rate the line already has, DTR and RTS up, until the
  // engine sets the port's own state.
  Termios2State current;
  if (const int code = ReadTermios2(fd, current); code != 0) return fail(code);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = current.outputRate != 0 ? current.outputRate : 9600;
  dcb.Flags = DcbFlag::fBinary | (DTR_CONTROL_ENABLE << DcbFlag::fDtrControlShift) |
              (RTS_CONTROL_ENABLE << DcbFlag::fRtsControlShift);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;

  auto backend = std::make_unique<TtyBackend>(fd);
  if (const int code = backend->ApplyState(dcb); code != 0) {
    error = code;
    return nullptr;
  }
  error = 0;
  return backend;
}

}  // namespace CPort::Platform
