// Measurements that need a process of their own (idle counters, peak RSS):
// the benchmark re-invokes itself with --child MODE ARG, and the child prints
// one line of key=value pairs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bench.h"

namespace bench {

int RunChildMode(const std::string& mode, const std::string& arg) {
  const int n = std::atoi(arg.c_str());
  if (mode == "idle-raw") return ChildIdleRaw(n);
  if (mode == "idle-port") return ChildIdlePort(n);
  if (mode == "rss-raw") return ChildRssRaw(n);
  if (mode == "rss-port") return ChildRssPort(n);
  std::fprintf(stderr, "cport_bench: unknown child mode %s\n", mode.c_str());
  return 2;
}

Child StartChild(const std::string& mode, const std::string& arg) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) FailErrno("pipe2");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid < 0) FailErrno("fork");
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    const char* argv[] = {"cport_bench", "--child", mode.c_str(), arg.c_str(), nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(argv));
    std::fprintf(stderr, "cport_bench: exec failed: %s\n", std::strerror(errno));
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  return Child{pid, pipeFds[0]};
}

KeyValues FinishChild(Child child, int limitMs) {
  const std::string what = "child process (pid " + std::to_string(child.pid) + ")";
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  auto left = [&] {
    return static_cast<int>(
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  auto give_up = [&](const std::string& why) {
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
    Fail(what + ": " + why);
  };
  // Its output, until end of file.
  std::string output;
  for (;;) {
    pollfd p{child.out, POLLIN, 0};
    const int ready = ::poll(&p, 1, left());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) FailErrno("poll");
    if (ready == 0) give_up("no result within " + std::to_string(limitMs / 1000) + " s");
    char buffer[512];
    const ssize_t n = ::read(child.out, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(child.out);
  // Its end: a pidfd becomes readable when the process has ended.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&p, 1, left());
    } while (ready < 0 && errno == EINTR);
    ::close(pidfd);
    if (ready == 0) give_up("did not end");
  }
  int status = 0;
  if (::waitpid(child.pid, &status, 0) != child.pid) FailErrno("waitpid");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail(what + " failed (status " + std::to_string(status) + "); its output: " + output);
  }
  KeyValues values;
  std::istringstream words(output);
  std::string word;
  while (words >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    values[word.substr(0, eq)] = std::strtod(word.c_str() + eq + 1, nullptr);
  }
  return values;
}

long ProcStatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t keyLength = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, keyLength, key) == 0) return std::atol(line.c_str() + keyLength);
  }
  return -1;
}

}  // namespace bench
