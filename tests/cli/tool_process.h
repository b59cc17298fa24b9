// Runs the built kelvat-port as a child process with its output captured,
// for end-to-end tests. Every wait has a generous limit so that a broken
// tool fails the test instead of hanging it; no result depends on timing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

struct ToolResult {
  int exitCode = -1;  // -1: did not end by itself
  std::string out, err;
};

class ToolProcess {
 public:
  // `env` entries ("NAME=value") are added to this process's environment;
  // standard input is read from `input`.
  explicit ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                       const std::string& input = "/dev/null") {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> strings{KELVAT_PORT_BINARY};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(env);
    for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);  // the first entry wins
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const int error = ::posix_spawn(&pid_, KELVAT_PORT_BINARY, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (error != 0) throw std::runtime_error("posix_spawn failed");
  }
  ~ToolProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signal) const { ::kill(pid_, signal); }

  // Collects output until `text` shows on stdout (or stderr) or the limit.
  bool WaitForOut(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return Collect([&] { return result_.out.find(text) != std::string::npos; }, limit);
  }
  bool WaitForErr(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return Collect([&] { return result_.err.find(text) != std::string::npos; }, limit);
  }

  // Collects the rest of the output and the exit status. A tool still
  // running after the limit is killed and reports -1.
  ToolResult Finish(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Collect([] { return false; }, limit);
    // The output may end a moment before the process does: wait for its
    // end on a pidfd, within what is left of the limit.
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidFd >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{pidFd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      ::close(pidFd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      result_.exitCode = -1;
    } else {
      result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_ = -1;
    return result_;
  }

 private:
  // Reads both pipes until `done` or both are at their end or the limit.
  template <typename Done>
  bool Collect(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (outFd_ < 0 && errFd_ < 0) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
      if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
      Drain(fds[0], outFd_, result_.out);
      Drain(fds[1], errFd_, result_.err);
    }
    return true;
  }
  static void Drain(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || p.revents == 0) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  ToolResult result_;
};

inline ToolResult RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  ToolProcess tool(args, env);
  return tool.Finish();
}
