// kelvat-port term end to end: the built tool on a terminal of its own
// (tmux), a pseudo-terminal pair as the device, checked byte for byte on the
// device's side and on the screen, and the console's settings checked after
// every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../cport/pty_pair.h"
#include "../cport/test_storage_tempdir.h"
#include "tmux_console.h"
#include "tool_process.h"

using namespace std::string_literals;

namespace {

// A pty pair whose master neither the tool nor tmux inherits: a holder
// would keep the device alive after the test closed its side.
class Pty : public PtyPair {
 public:
  Pty() { ::fcntl(Master(), F_SETFD, FD_CLOEXEC); }
};

const std::string kReady = "Ctrl\\+T \\? lists the command keys\\.";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> Term(const std::string& port, const std::vector<std::string>& options) {
  std::vector<std::string> args{"term", port};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

// Ends the session with the quit key: status 0, the console as it was.
void Quit(TmuxConsole& console) {
  console.Keys({"C-t", "q"});
  EXPECT_EQ(console.WaitForExit(), 0) << console.Screen();
  EXPECT_TRUE(console.ConsoleRestored());
}

}  // namespace

// Would catch: typed bytes changed or lost on the way (Ctrl+C, the command
// key sent by doubling it, Enter as CR), a map applied to the wrong
// direction or not at all, hex and timestamps not shown, local echo on by
// default or missing when asked, and a log without its header or with
// something other than what the device sent.
TEST(CliTerm, TypedKeysReachTheDeviceAndItsBytesShowAsAsked) {
  if (!TmuxConsole::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
  TempDir dir;
  const std::string log = dir.File("session.log");
  struct Row {
    const char* what;
    std::vector<std::string> options;
    std::string deviceSays, screenShows;  // screenShows: a regex
    std::vector<std::string> keys;
    std::string deviceGets, screenThen;  // screenThen: a regex; "" for none
    std::string notOnScreen;
  };
  const Row rows[] = {
      {"plain", {}, "T=23.5 C\r\n", "T=23\\.5 C", {"=hello", "C-t", "C-t", "=x", "Enter", "C-c"}, "hello\x14x\r\x03",
       "", "hello"},
      {"maps", {"--map", "out:cr=crlf,in:lf=crlf"}, "one\ntwo\n", "\none\ntwo\n", {"=ab", "Enter"}, "ab\r\n", "", ""},
      {"hex and timestamps", {"--hex", "--timestamps"}, "T=2", "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} 54 3d 32", {"=z"}, "z",
       "", ""},
      {"echo and log", {"--echo", "--log", log}, "ready\r\n", "ready", {"=hi"}, "hi", "\nhi", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Pty pty;
    TmuxConsole console(Term(pty.SlavePath(), row.options));
    ASSERT_TRUE(console.WaitForScreen(kReady)) << console.Screen();
    pty.Write(row.deviceSays);
    EXPECT_TRUE(console.WaitForScreen(row.screenShows)) << console.Screen();
    console.Keys(row.keys);
    EXPECT_EQ(pty.Read(row.deviceGets.size()), row.deviceGets);
    if (!row.screenThen.empty()) {
      EXPECT_TRUE(console.WaitForScreen(row.screenThen)) << console.Screen();
    }
    if (!row.notOnScreen.empty()) {
      EXPECT_EQ(console.Screen().find(row.notOnScreen), std::string::npos);
    }
    Quit(console);
  }
  const std::regex logged("=== kelvat-port term .*, log begun [-0-9]+ [:0-9]+ ===\nready\r\n");
  EXPECT_TRUE(std::regex_match(FileText(log), logged))
      << FileText(log);
}

// Would catch: a command key that does nothing or the wrong thing, a rate
// that is shown but not applied to the device (or applied when refused), a
// prompt that loses the keys typed with its command, a log that misses what
// came while it was on or that goes on after it was stopped, and a state
// display that miscounts.
TEST(CliTerm, CommandKeysChangeTheLineAndSayWhatTheyDid) {
  if (!TmuxConsole::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
  TempDir dir;
  const std::string log = dir.File("keys.log");
  Pty pty;
  TmuxConsole console(Term(pty.SlavePath(), {"--baud", "9600"}));
  ASSERT_TRUE(console.WaitForScreen(kReady)) << console.Screen();
  struct Step {
    std::vector<std::string> keys;
    std::string deviceSays;
    std::string screenShows;  // a regex
  };
  const Step steps[] = {
      {{"C-t", "B", "=57600", "Enter"}, "", "\\[line now 57600 8 None 1, flow None\\]"},
      {{"C-t", "B", "=fast", "Enter"}, "", "--baud 'fast' is not a rate.*; rate unchanged\\]"},
      {{"C-t", "d"}, "", "\\[DTR off\\]"},
      {{"C-t", "r"}, "", "\\[RTS off\\]"},
      {{"C-t", "b"}, "", "\\[break sent\\]"},
      {{"C-t", "x"}, "", "\\[Ctrl\\+T x is no command; Ctrl\\+T \\? lists them\\]"},
      {{"C-t", "f", "=" + log, "Enter"}, "logged\r\n", "\\[logging to " + log + "\\]\r?\nlogged"},
      {{"C-t", "f"}, "", "\\[log closed: " + log + "\\]"},
      {{}, "after\r\n", "\nafter"},
      {{"C-t", "s"}, "", "DTR off, RTS off.*\n.*received 15 bytes, sent 0 bytes; line errors: none"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.screenShows);
    console.Keys(step.keys);
    if (!step.deviceSays.empty()) pty.Write(step.deviceSays);
    EXPECT_TRUE(console.WaitForScreen(step.screenShows)) << console.Screen();
  }
  termios settings{};
  const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::tcgetattr(fd, &settings), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&settings), B57600);
  const std::string logged = FileText(log);
  EXPECT_TRUE(std::regex_match(logged, std::regex("=== kelvat-port term .*57600.* ===\nlogged\r\n"))) << logged;

  console.Keys({"C-t", "l"});
  EXPECT_TRUE(console.WaitForScreenWithout("[DTR off]")) << console.Screen();
  EXPECT_EQ(pty.Read(1, std::chrono::milliseconds(200)), "") << "no command key reached the device";
  Quit(console);
}

// Would catch: a console left in raw mode (no echo, no line editing) after a
// stop signal or a lost device, an exit status that hides the loss, and a
// loss without the device named.
TEST(CliTerm, ConsoleIsRestoredOnEveryWayOut) {
  if (!TmuxConsole::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
  struct Row {
    const char* what;
    std::vector<std::string> options;
    int signal;  // 0: the device goes away
    int status;
    std::string screenShows;
  };
  const Row rows[] = {
      {"SIGTERM", {}, SIGTERM, 0, ""},
      {"SIGHUP", {}, SIGHUP, 0, ""},
      {"device lost", {"--no-reconnect"}, 0, 1, "kelvat-port: WaitForEvent method failed .*\n *device: /dev/pts/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Pty pty;
    TmuxConsole console(Term(pty.SlavePath(), row.options));
    ASSERT_TRUE(console.WaitForScreen(kReady)) << console.Screen();
    if (row.signal != 0) ::kill(console.ToolPid(), row.signal);
    else pty.CloseMaster();
    EXPECT_EQ(console.WaitForExit(), row.status) << console.Screen();
    EXPECT_TRUE(console.ConsoleRestored());
    if (!row.screenShows.empty()) {
      EXPECT_TRUE(console.WaitForScreen(row.screenShows)) << console.Screen();
    }
  }
}

// Would catch: a session that ends, or takes another device, when its device
// goes away; one that does not go on when the device is back behind the same
// link (keys and output both ways); a loss reported more than once; and a
// quit key that does not work while waiting.
TEST(CliTerm, WaitsForTheDeviceBehindALinkAndGoesOnWhenItIsBack) {
  if (!TmuxConsole::Available()) GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
  TempDir dir;
  const std::string link = dir.File("instrument");
  auto first = std::make_unique<Pty>();
  std::filesystem::create_symlink(first->SlavePath(), link);
  TmuxConsole console({"term", link, "--baud", "57600"});
  ASSERT_TRUE(console.WaitForScreen(kReady)) << console.Screen();
  first->Write("one\r\n");
  ASSERT_TRUE(console.WaitForScreen("\none")) << console.Screen();

  std::filesystem::remove(link);
  first->CloseMaster();
  ASSERT_TRUE(console.WaitForScreen("\\[device gone \\(Input/output error\\); waiting for it to come back, "
                                    "Ctrl\\+T q quits\\]"))
      << console.Screen();
  console.Keys({"=lost"});
  EXPECT_TRUE(console.WaitForScreen("\\[not sent while the device is away\\]")) << console.Screen();

  Pty second;
  std::filesystem::create_symlink(second.SlavePath(), link);
  ASSERT_TRUE(console.WaitForScreen("\\[device back: " + link + "\\]")) << console.Screen();
  console.Keys({"=again"});
  EXPECT_EQ(second.Read(5), "again");
  second.Write("two\r\n");
  EXPECT_TRUE(console.WaitForScreen("\ntwo")) << console.Screen();
  const std::string screen = console.Screen();
  EXPECT_EQ(screen.find("device gone"), screen.rfind("device gone")) << "said once";
  // The settings came back with it.
  termios settings{};
  const int fd = ::open(second.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::tcgetattr(fd, &settings), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&settings), B57600);

  std::filesystem::remove(link);
  second.CloseMaster();
  ASSERT_TRUE(console.WaitUntil([](const std::string& shown) {
    return shown.find("device gone") != shown.rfind("device gone");
  })) << console.Screen();
  Quit(console);
}

// Would catch: a script's bytes mapped, cut short or taken as command keys,
// and a command that does not end when its input has been sent.
TEST(CliTerm, StandardInputThatIsNoTerminalIsSentWholeAndEnds) {
  TempDir dir;
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
  struct Row {
    std::vector<std::string> options;
    std::string input, deviceGets;
  };
  const Row rows[] = {
      {{}, everyByte + everyByte, everyByte + everyByte},
      {{"--map", "out:lf=crlf"}, "a\nb\r", "a\r\nb\r"},
      {{}, "", ""},
  };
  for (const Row& row : rows) {
    Pty pty;
    const std::string input = dir.File("input.bin");
    std::ofstream(input, std::ios::binary) << row.input;
    // Held open here too, so that the tool's close is no hang-up for the
    // device's side, which reads after the tool ended.
    const int held = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ToolProcess tool(Term(pty.SlavePath(), row.options), {}, input);
    const ToolResult result = tool.Finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(pty.Read(row.deviceGets.size()), row.deviceGets);
    ::close(held);
  }
}
