// Runs the built kelvat-port on a terminal of its own: a detached tmux
// session on a server of its own (its own socket name, killed at the end),
// typed into with send-keys and read with capture-pane. A small shell
// script around the tool records the console's settings (stty -g) before
// and after it and its exit status, so that a test can check the console
// was restored on every way out. Every wait polls with a generous limit and
// fails the test instead of hanging it; no result depends on timing.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../cport/test_storage_tempdir.h"

extern char** environ;

class TmuxConsole {
 public:
  // tmux is installed by scripts/install-deps.sh; without it the tests that
  // need it are skipped, saying so.
  static bool Available() { return ::access("/usr/bin/tmux", X_OK) == 0 || ::access("/bin/tmux", X_OK) == 0; }

  explicit TmuxConsole(const std::vector<std::string>& args) {
    static int sessions = 0;
    socket_ = "kelvat-term-test-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);
    std::ofstream(dir_.File("tmux.conf")) << "set -g remain-on-exit on\nset -g status off\n";
    std::string command = "sh -c 'echo $$ > \"$0\"; exec \"$@\"' " + Quote(dir_.File("pid")) + " " +
                          Quote(KELVAT_PORT_BINARY);
    for (const std::string& arg : args) command += " " + Quote(arg);
    std::ofstream(dir_.File("run.sh")) << "stty -g > " << Quote(dir_.File("before")) << "\n"
                                       << command << "\n"
                                       << "status=$?\n"
                                       << "stty -g > " << Quote(dir_.File("after")) << "\n"
                                       << "echo $status > " << Quote(dir_.File("status")) << "\n";
    Tmux({"-f", dir_.File("tmux.conf"), "new-session", "-d", "-x", "160", "-y", "50", "sh " + dir_.File("run.sh")});
  }
  ~TmuxConsole() { Tmux({"kill-server"}); }
  TmuxConsole(const TmuxConsole&) = delete;
  TmuxConsole& operator=(const TmuxConsole&) = delete;

  // tmux key names ("C-t", "Enter") or, with a leading "=", literal text.
  void Keys(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
      if (!key.empty() && key[0] == '=') Tmux({"send-keys", "-l", key.substr(1)});
      else Tmux({"send-keys", key});
    }
  }
  std::string Screen() {
    std::string out;
    Tmux({"capture-pane", "-p", "-J"}, &out);
    return out;
  }
  // Waits until the screen matches `pattern` (an ECMAScript regex, searched).
  bool WaitForScreen(const std::string& pattern, std::chrono::seconds limit = std::chrono::seconds(15)) {
    const std::regex re(pattern);
    return Poll([&] { return std::regex_search(Screen(), re); }, limit);
  }
  bool WaitUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::seconds limit = std::chrono::seconds(15)) {
    return Poll([&] { return done(Screen()); }, limit);
  }
  bool WaitForScreenWithout(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(15)) {
    return Poll([&] { return Screen().find(text) == std::string::npos; }, limit);
  }
  // The tool's exit status once it ended, or nothing within the limit.
  std::optional<int> WaitForExit(std::chrono::seconds limit = std::chrono::seconds(15)) {
    std::optional<int> status;
    Poll(
        [&] {
          std::ifstream in(dir_.File("status"));
          int value = -1;
          if (in >> value) status = value;
          return status.has_value();
        },
        limit);
    return status;
  }
  // The console's settings after the tool are the ones before it.
  bool ConsoleRestored() const { return !Read("before").empty() && Read("before") == Read("after"); }
  pid_t ToolPid() {
    pid_t pid = 0;
    Poll(
        [&] {
          std::ifstream in(dir_.File("pid"));
          return static_cast<bool>(in >> pid);
        },
        std::chrono::seconds(15));
    return pid;
  }

 private:
  static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_.File(name));
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  template <typename Done>
  static bool Poll(Done done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  // Runs a tmux command on this console's server; `out` takes its output.
  void Tmux(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), {"tmux", "-L", socket_});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    // Started from inside a tmux session, tmux would refuse to nest.
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string(*e).rfind("TMUX=", 0) != 0) env.push_back(*e);
    env.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, "tmux", &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string collected;
    char buffer[4096];
    ssize_t n;
    while (error == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0) {
      if (n > 0) collected.append(buffer, static_cast<std::size_t>(n));
      else if (errno != EINTR) break;
    }
    ::close(pipeFds[0]);
    if (error == 0) ::waitpid(pid, nullptr, 0);
    if (out != nullptr) *out = collected;
  }

  TempDir dir_;
  std::string socket_;
};
