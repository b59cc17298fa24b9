// demo_device: a small instrument on a pseudo-terminal, for trying the
// terminal without hardware and for tests.
//
// It opens a pty pair, prints the path of the side a terminal opens (one
// line on stdout), then
//  - answers each line it receives (ended by CR or LF) with "OK <line>\r\n";
//  - sends a reading "T=<value> C\r\n" every period (default 1000 ms);
//  - with --no-line-end, both without their CR LF: the terminal window adds
//    one after each batch it shows, and a reading a second fills one batch,
//    so each reading stands on a line of its own there, not followed by an
//    empty one;
// until SIGTERM or SIGINT, when it closes the pty and exits with 0.
//
// Unplugging and plugging it in again, for trying reconnects without
// hardware: with --link PATH it keeps a symbolic link PATH to its pty and
// prints PATH instead of the pty's own path. SIGUSR1 then unplugs it (the
// link goes, the pty closes: a terminal on it sees the device vanish) and,
// sent again, plugs it in on a new pty behind the same link. With
// --replug UP,DOWN it does so by itself: UP ms plugged in, DOWN ms out, and
// again.
//
// Usage: demo_device [--period MS] [--no-line-end] [--link PATH [--replug UP,DOWN]]
//        (period 0: no readings)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gToggle = 0;
void OnSignal(int) { gStop = 1; }
void OnToggle(int) { gToggle = 1; }

// Readings pile up in the pty while no terminal reads them; above this many
// waiting bytes a reading is skipped.
constexpr int kMaxQueued = 256;

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return false;  // nobody reads: drop the rest
      std::perror("demo_device: write");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int Fail(const char* what) {
  std::perror(what);
  return 1;
}

bool ParseMs(const char* text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= 0;
}

// One plug-in: a pty pair whose other side we hold open ourselves, in raw
// mode, so the pty never hangs up between terminals and nothing we send is
// echoed back to us.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) return false;
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  void Close() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    slave = master = -1;
  }
  bool Plugged() const { return master >= 0; }
};

// Points `link` at `target` in one step: a terminal never finds it missing
// or half made.
bool PointLink(const std::string& link, const std::string& target) {
  const std::string temporary = link + ".new";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) return false;
  if (rename(temporary.c_str(), link.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long period = 1000;
  std::string link;
  long upMs = 0, downMs = 0;
  std::string lineEnd = "\r\n";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--period") == 0 && i + 1 < argc) {
      if (!ParseMs(argv[++i], period)) {
        std::fprintf(stderr, "demo_device: bad period '%s'\n", argv[i]);
        return 2;
      }
    } else if (std::strcmp(argv[i], "--no-line-end") == 0) {
      lineEnd.clear();
    } else if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      link = argv[++i];
    } else if (std::strcmp(argv[i], "--replug") == 0 && i + 1 < argc) {
      const std::string timing = argv[++i];
      const auto comma = timing.find(',');
      if (comma == std::string::npos || !ParseMs(timing.substr(0, comma).c_str(), upMs) ||
          !ParseMs(timing.substr(comma + 1).c_str(), downMs) || upMs == 0 || downMs == 0) {
        std::fprintf(stderr, "demo_device: --replug takes UP,DOWN in ms, both above 0, not '%s'\n", timing.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: demo_device [--period MS] [--no-line-end] [--link PATH [--replug UP,DOWN]]\n");
      return 2;
    }
  }
  if (upMs > 0 && link.empty()) {
    std::fprintf(stderr, "demo_device: --replug needs --link: a terminal finds it again through the link\n");
    return 2;
  }

  // Block the signals we act on except inside ppoll, so none is missed
  // between the test of its flag and the wait.
  sigset_t handled, waitMask;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGUSR1);
  sigprocmask(SIG_BLOCK, &handled, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGUSR1);
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = OnToggle;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Pty pty;
  if (!pty.Open()) return Fail("demo_device: opening a pty");
  if (!link.empty() && !PointLink(link, pty.path)) return Fail("demo_device: making the link");

  std::printf("%s\n", link.empty() ? pty.path.c_str() : link.c_str());
  std::fflush(stdout);

  std::string line;
  long long nextReading = NowMs() + period;
  long long nextReplug = upMs > 0 ? NowMs() + upMs : -1;
  unsigned counter = 0;
  int status = 0;
  while (!gStop) {
    if (gToggle || (nextReplug >= 0 && NowMs() >= nextReplug)) {
      gToggle = 0;
      if (link.empty()) {
        // Without a link a terminal could not find the new pty: ignored.
      } else if (pty.Plugged()) {
        unlink(link.c_str());
        pty.Close();
        line.clear();
        std::fprintf(stderr, "demo_device: unplugged\n");
      } else {
        if (!pty.Open() || !PointLink(link, pty.path)) {
          status = Fail("demo_device: plugging in again");
          break;
        }
        std::fprintf(stderr, "demo_device: plugged in on %s\n", pty.path.c_str());
      }
      if (nextReplug >= 0) nextReplug = NowMs() + (pty.Plugged() ? upMs : downMs);
    }

    long long wakeAt = -1;
    if (period > 0 && pty.Plugged()) wakeAt = nextReading;
    if (nextReplug >= 0 && (wakeAt < 0 || nextReplug < wakeAt)) wakeAt = nextReplug;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wakeAt >= 0) {
      const long long wait = wakeAt - NowMs();
      const long long ms = wait > 0 ? wait : 0;
      timeout.tv_sec = static_cast<time_t>(ms / 1000);
      timeout.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
      timeoutPtr = &timeout;
    }
    pollfd pfd{pty.master, POLLIN, 0};  // a negative descriptor (unplugged) is not polled
    const int ready = ppoll(&pfd, 1, timeoutPtr, &waitMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      status = Fail("demo_device: ppoll");
      break;
    }
    if (ready > 0 && (pfd.revents & POLLIN)) {
      char buffer[512];
      const ssize_t n = read(pty.master, buffer, sizeof buffer);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        status = Fail("demo_device: read");
        break;
      }
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c == '\r' || c == '\n') {
          if (!line.empty()) WriteAll(pty.master, "OK " + line + lineEnd);
          line.clear();
        } else if (line.size() < 4096) {
          line += c;
        }
      }
    }
    if (period > 0 && NowMs() >= nextReading) {
      nextReading += period;
      if (nextReading < NowMs()) nextReading = NowMs() + period;  // after a time unplugged
      int queued = 0;
      if (pty.Plugged() && (ioctl(pty.slave, FIONREAD, &queued) != 0 || queued <= kMaxQueued)) {
        // 23.0 .. 23.9 C, one step per reading.
        char reading[32];
        std::snprintf(reading, sizeof reading, "T=23.%u C", counter % 10);
        WriteAll(pty.master, reading + lineEnd);
      }
      ++counter;
    }
  }
  if (!link.empty()) unlink(link.c_str());
  pty.Close();
  return status;
}
