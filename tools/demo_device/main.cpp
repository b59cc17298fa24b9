// demo_device: a small instrument on a pseudo-terminal, for trying the
// terminal without hardware and for tests.
//
// It opens a pty pair, prints the path of the side a terminal opens (one
// line on stdout), then
//  - answers each line it receives (ended by CR or LF) with "OK <line>\r\n";
//  - sends a reading "T=<value> C\r\n" every period (default 1000 ms);
// until SIGTERM or SIGINT, when it closes the pty and exits with 0.
//
// Usage: demo_device [--period MS]   (0: no readings)
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
void OnSignal(int) { gStop = 1; }

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

}  // namespace

int main(int argc, char** argv) {
  long period = 1000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--period") == 0 && i + 1 < argc) {
      char* end = nullptr;
      period = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || period < 0) {
        std::fprintf(stderr, "demo_device: bad period '%s'\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: demo_device [--period MS]\n");
      return 2;
    }
  }

  // Block the stop signals except inside ppoll, so none is missed between
  // the test of gStop and the wait.
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return Fail("demo_device: posix_openpt");
  if (grantpt(master) != 0 || unlockpt(master) != 0) return Fail("demo_device: grantpt/unlockpt");
  char slavePath[256];
  if (ptsname_r(master, slavePath, sizeof slavePath) != 0) return Fail("demo_device: ptsname");

  // Hold the other side open ourselves, in raw mode: the pty then never
  // hangs up between terminals, and nothing we send is echoed back to us.
  const int slave = open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return Fail("demo_device: open slave");
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  std::printf("%s\n", slavePath);
  std::fflush(stdout);

  std::string line;
  long long nextReading = NowMs() + period;
  unsigned counter = 0;
  while (!gStop) {
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (period > 0) {
      const long long wait = nextReading - NowMs();
      const long long ms = wait > 0 ? wait : 0;
      timeout.tv_sec = static_cast<time_t>(ms / 1000);
      timeout.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
      timeoutPtr = &timeout;
    }
    pollfd pfd{master, POLLIN, 0};
    const int ready = ppoll(&pfd, 1, timeoutPtr, &waitMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Fail("demo_device: ppoll");
    }
    if (ready > 0 && (pfd.revents & POLLIN)) {
      char buffer[512];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return Fail("demo_device: read");
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c == '\r' || c == '\n') {
          if (!line.empty()) WriteAll(master, "OK " + line + "\r\n");
          line.clear();
        } else if (line.size() < 4096) {
          line += c;
        }
      }
    }
    if (period > 0 && NowMs() >= nextReading) {
      nextReading += period;
      int queued = 0;
      if (ioctl(slave, FIONREAD, &queued) != 0 || queued <= kMaxQueued) {
        // 23.0 .. 23.9 C, one step per reading.
        char reading[32];
        std::snprintf(reading, sizeof reading, "T=23.%u C\r\n", counter % 10);
        WriteAll(master, reading);
      }
      ++counter;
    }
  }
  close(slave);
  close(master);
  return 0;
}
