// Servers for the network port tests, each started by the test on
// 127.0.0.1 and stopped by its PID: a child process helper, and ser2net in
// front of a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_storage_tempdir.h"

extern char** environ;

namespace net_test {

using namespace std::chrono_literals;

// A program found on PATH or in the system directories, or empty.
inline std::string FindProgram(const std::string& name) {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/bin:/sbin:/bin";
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, ':');) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// A child process with optional pipes to its stdin and from its stdout,
// killed by its PID when the object goes.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, bool pipeStdin, bool pipeStdout, const std::string& logFile) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipeStdout && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipeStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int result = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeStdin) {
      close(in[0]);
      stdin_ = in[1];
    }
    if (pipeStdout) {
      close(out[1]);
      stdout_ = out[0];
    }
    if (result != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() {
    Kill();
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running() {
    if (pid_ < 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ >= 0;
  }
  // Waits for its end; its exit status, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    if (pid_ < 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // SIGKILL to this process only, then reaps it.
  void Kill() {
    if (pid_ < 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  void WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    if (write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("writing to the server failed");
    }
  }
  // The first line of its stdout, within `limit`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char c = 0;
      if (read(stdout_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

// A TCP port that nothing listens on at this moment.
inline int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

// Whether something listens on 127.0.0.1:port, from the kernel's table
// (asking by connecting would make the server open its device).
inline bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

// ser2net serving one pseudo-terminal on 127.0.0.1, with the accepter given
// ("telnet(rfc2217),tcp" or "tcp"). Without chardelay, bytes go out at once.
class Ser2Net {
 public:
  static std::string Program() { return FindProgram("ser2net"); }

  // On `tcpPort`, or on a free one when it is 0.
  Ser2Net(const std::string& ptyPath, const std::string& accepter, int tcpPort = 0)
      : port_(tcpPort != 0 ? tcpPort : FreeTcpPort()) {
    const std::string config = dir_.File("ser2net.yaml");
    std::ofstream(config) << "connection: &test\n"
                          << "  accepter: " << accepter << ",127.0.0.1," << port_ << "\n"
                          << "  connector: serialdev," << ptyPath << ",9600n81,local\n"
                          << "  options:\n"
                          << "    chardelay: false\n";
    process_.emplace(std::vector<std::string>{Program(), "-n", "-d", "-c", config}, false, false,
                     dir_.File("ser2net.log"));
    // Ready once it listens; it ends at once on a bad configuration.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Listening(port_)) {
      if (!process_->Running() || std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("ser2net did not start: " + Log());
      }
      std::this_thread::sleep_for(10ms);
    }
  }

  int Port() const { return port_; }
  std::string Url(const std::string& scheme) const { return scheme + "://127.0.0.1:" + std::to_string(port_); }
  void Kill() { process_->Kill(); }
  std::string Log() const {
    std::ifstream log(dir_.File("ser2net.log"));
    return std::string(std::istreambuf_iterator<char>(log), {});
  }

 private:
  TempDir dir_;
  int port_;
  std::optional<ChildProcess> process_;
};

}  // namespace net_test
