// Child processes: the far side of a pty, idle counters, threads and memory
// per port. The benchmark re-invokes itself with --child MODE ARG; the child
// takes commands on its standard input and prints key=value lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bench.h"

namespace bench {

int ChildFar(const std::string& arg);

int RunChildMode(const std::string& mode, const std::string& arg) {
  if (mode == "far") return ChildFar(arg);
  const int n = std::atoi(arg.c_str());
  if (mode == "idle-raw") return ChildIdleRaw(n);
  if (mode == "idle-port") return ChildIdlePort(n);
  if (mode.rfind("trips-", 0) == 0) return ChildTrips(mode.substr(6), arg);
  if (mode.rfind("hold-", 0) == 0) return ChildHold(mode.substr(5), n);
  std::fprintf(stderr, "cport_bench: unknown child mode %s\n", mode.c_str());
  return 2;
}

Child StartChild(const std::string& mode, const std::string& arg, const std::vector<int>& pass,
                 const std::vector<std::string>& wrapper) {
  // Built before the fork: the child may only make async-signal-safe calls.
  char self[4096];
  const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (selfLength <= 0) FailErrno("readlink /proc/self/exe");
  self[selfLength] = '\0';
  std::vector<const char*> argv;
  for (const std::string& word : wrapper) argv.push_back(word.c_str());
  for (const char* word : {static_cast<const char*>(self), "--child", mode.c_str(), arg.c_str()}) argv.push_back(word);
  argv.push_back(nullptr);
  int outPipe[2];
  int inPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(inPipe, O_CLOEXEC) != 0) FailErrno("pipe2");
  // Copies of the passed descriptors above any number they are to get, so
  // that moving them into place cannot overwrite one another.
  std::vector<int> high;
  for (int fd : pass) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3 + static_cast<int>(pass.size()) + 64);
    if (copy < 0) FailErrno("F_DUPFD_CLOEXEC");
    high.push_back(copy);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) FailErrno("fork");
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the parent has threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(outPipe[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    ::dup2(inPipe[0], STDIN_FILENO);
    for (std::size_t i = 0; i < high.size(); ++i) ::dup2(high[i], 3 + static_cast<int>(i));
    // Nothing else of the parent's (its ports' descriptors among them).
    ::syscall(SYS_close_range, 3 + high.size(), ~0U, 0);
    ::execv(argv[0], const_cast<char* const*>(argv.data()));
    static const char message[] = "cport_bench: exec of a child failed\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(127);
  }
  for (int fd : high) ::close(fd);
  ::close(outPipe[1]);
  ::close(inPipe[0]);
  Child child;
  child.pid = pid;
  child.out = outPipe[0];
  child.in = inPipe[1];
  return child;
}

namespace {

int MillisecondsLeft(Clock::time_point deadline) {
  return static_cast<int>(
      std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

[[noreturn]] void GiveUp(Child& child, const std::string& why) {
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  Fail("child process (pid " + std::to_string(child.pid) + "): " + why);
}

// Reads what is there into child.pending; false at end of file.
bool ReadSome(Child& child, Clock::time_point deadline, int limitMs) {
  for (;;) {
    pollfd p{child.out, POLLIN, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) FailErrno("poll");
    if (ready == 0) GiveUp(child, "no output within " + std::to_string(limitMs / 1000) + " s");
    char buffer[512];
    const ssize_t n = ::read(child.out, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailErrno("read from a child");
    if (n == 0) return false;
    child.pending.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

}  // namespace

std::string ReadChildLine(Child& child, int limitMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    const std::size_t end = child.pending.find('\n');
    if (end != std::string::npos) {
      std::string line = child.pending.substr(0, end);
      child.pending.erase(0, end + 1);
      return line;
    }
    if (!ReadSome(child, deadline, limitMs)) {
      ::waitpid(child.pid, nullptr, 0);
      Fail("child process (pid " + std::to_string(child.pid) + ") ended early; its output: " + child.pending);
    }
  }
}

KeyValues FinishChild(Child& child, int limitMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  if (child.in >= 0) {
    ::close(child.in);
    child.in = -1;
  }
  while (ReadSome(child, deadline, limitMs)) {
  }
  ::close(child.out);
  child.out = -1;
  // Its end: a pidfd becomes readable when the process has ended.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    } while (ready < 0 && errno == EINTR);
    ::close(pidfd);
    if (ready == 0) GiveUp(child, "did not end");
  }
  int status = 0;
  if (::waitpid(child.pid, &status, 0) != child.pid) FailErrno("waitpid");
  child.pid = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail("child process failed (status " + std::to_string(status) + "); its output: " + child.pending);
  }
  return ParseKeyValues(child.pending);
}

KeyValues ParseKeyValues(const std::string& text) {
  KeyValues values;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    values[word.substr(0, eq)] = std::strtod(word.c_str() + eq + 1, nullptr);
  }
  return values;
}

long ProcStatus(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t keyLength = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, keyLength, key) == 0) return std::atol(line.c_str() + keyLength);
  }
  return -1;
}

}  // namespace bench
