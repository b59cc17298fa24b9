// kelvat-port end to end: the built tool run on pseudo-terminal pairs, its
// output, its exit status and the bytes and settings that reach the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "../cport/pty_pair.h"
#include "../cport/test_storage_tempdir.h"
#include "tool_process.h"

using namespace std::string_literals;

namespace {

// A pty pair whose master the tool does not inherit: a tool holding it
// would keep the device alive after the test closed its side.
class Pty : public PtyPair {
 public:
  Pty() { ::fcntl(Master(), F_SETFD, FD_CLOEXEC); }
};

// Replaces the placeholder "PTY" in the arguments with the pty's path.
std::vector<std::string> WithPort(std::vector<std::string> args, const std::string& path) {
  for (std::string& arg : args)
    if (arg == "PTY") arg = path;
  return args;
}

}  // namespace

// The bytes that reach the device are exactly the ones meant, zero bytes
// and all 256 values included, with the line end asked for.
TEST(CliSend, DeviceReceivesExactlyTheBytesMeant) {
  TempDir dir;
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
  std::ofstream(dir.File("data.bin"), std::ios::binary) << everyByte;
  struct Row {
    std::vector<std::string> args;
    std::string expected;
  };
  const Row rows[] = {
      {{"send", "PTY", R"(a\0b\n)", "--crlf"}, "a\0b\n\r\n"s},
      {{"send", "--hex", "PTY", "de ad be ef"}, "\xde\xad\xbe\xef"},
      {{"send", "--file", dir.File("data.bin"), "PTY", "--lf"}, everyByte + "\n"},
      {{"send", "--baud", "230400", "--parity", "odd", "--cr", "PTY", "--", "-x"}, "-x\r"},
  };
  for (const Row& row : rows) {
    Pty pty;
    const ToolResult result = RunTool(WithPort(row.args, pty.SlavePath()));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(pty.Read(row.expected.size()), row.expected) << testing::PrintToString(row.args);
  }
}

// What arrives is shown as it comes, and Ctrl+C ends the monitor with
// status 0 and no error.
TEST(CliMonitor, ShowsWhatArrivesAndEndsCleanlyOnCtrlC) {
  struct Row {
    std::vector<std::string> options;
    std::string expected;
  };
  const Row rows[] = {
      {{}, "T=23.5 C\r\n"},
      {{"--hex", "--timestamps"}, " 54 3d 32 33 2e 35 20 43 0d 0a"},
  };
  for (const Row& row : rows) {
    Pty pty;
    std::vector<std::string> args{"monitor", pty.SlavePath()};
    args.insert(args.end(), row.options.begin(), row.options.end());
    ToolProcess tool(args);
    ASSERT_TRUE(tool.WaitForErr("Ctrl+C ends.")) << tool.Finish().err;
    pty.Write("T=23.5 C\r\n");
    EXPECT_TRUE(tool.WaitForOut(row.expected));
    tool.Signal(SIGINT);
    const ToolResult result = tool.Finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.find("kelvat-port:"), std::string::npos) << result.err;
  }
}

// The far side goes away: the monitor ends by itself, naming the error and
// the device, instead of waiting for ever.
TEST(CliMonitor, LostDeviceEndsTheMonitorWithItsError) {
  Pty pty;
  ToolProcess tool({"monitor", pty.SlavePath()});
  ASSERT_TRUE(tool.WaitForErr("Ctrl+C ends.")) << tool.Finish().err;
  pty.CloseMaster();
  const ToolResult result = tool.Finish();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("kelvat-port: WaitForEvent method failed (win error code: "), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("  device: " + pty.SlavePath() + "\n"), std::string::npos) << result.err;
}

// Settings saved by option and loaded again reach the device, through both
// kinds of store.
TEST(CliSettings, SavedSettingsLoadIntoTheDevice) {
  for (const std::string file : {"port.ini", "port.db"}) {
    TempDir dir;
    Pty pty;
    const std::string path = dir.File(file);
    const ToolResult saved = RunTool({"settings", "save", "--baud", "57600", "--parity", "odd", "--stop", "2", "--name",
                                      "Bench", "elsewhere", path});
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    const ToolResult loaded = RunTool({"settings", "load", "--name", "Bench", pty.SlavePath(), path});
    EXPECT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(loaded.out, pty.SlavePath() + ": 57600 8 Odd 2, flow None\n") << file;
    EXPECT_NE(loaded.err.find("stored for port elsewhere"), std::string::npos) << loaded.err;
    // A pty keeps its settings while its master is open.
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetospeed(&tio), B57600) << file;
    EXPECT_TRUE(tio.c_cflag & PARODD) << file;
    EXPECT_TRUE(tio.c_cflag & CSTOPB) << file;
  }
}

// list --json is valid JSON (read back by CMake's own parser), with names
// that need escaping kept intact.
TEST(CliList, JsonParsesAndHoldsTheExtraPorts) {
  TempDir dir;
  const std::string odd = "/tmp/odd\"port\\name\t1";
  const std::string json = dir.File("ports.json");
  const ToolResult listed = RunTool({"list", "--json"}, {"CPORT_EXTRA_PORTS=/dev/pts/77:" + odd});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::ofstream(json) << listed.out;
  const ToolResult parsed = [&] {
    // CMake reads the file and prints "name|path" per entry.
    std::ofstream(dir.File("read.cmake")) << "file(READ \"" << json << "\" j)\n"
                                          << "string(JSON n LENGTH \"${j}\")\n"
                                          << "math(EXPR last \"${n} - 1\")\n"
                                          << "foreach(i RANGE ${last})\n"
                                          << "  string(JSON name GET \"${j}\" ${i} name)\n"
                                          << "  string(JSON path GET \"${j}\" ${i} path)\n"
                                          << "  message(\"${name}|${path}\")\n"
                                          << "endforeach()\n";
    ToolResult r;
    const std::string command = std::string(CMAKE_COMMAND) + " -P " + dir.File("read.cmake") + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    r.exitCode = WEXITSTATUS(::pclose(pipe));
    return r;
  }();
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out << "\n" << listed.out;
  EXPECT_NE(parsed.out.find("/dev/pts/77|/dev/pts/77\n"), std::string::npos) << parsed.out;
  EXPECT_NE(parsed.out.find(odd + "|" + odd + "\n"), std::string::npos) << parsed.out;
}

// Failures end with the status documented and say what to do: the device,
// the system's words and a hint for a port error, the reason for a wrong
// command line, the file for a store that cannot be read.
TEST(CliErrors, StatusAndMessageFitTheFailure) {
  struct Row {
    std::vector<std::string> args;
    bool holdPort;  // the test holds the pty open and locked, as a port does
    int status;
    std::vector<std::string> said;  // on stderr, or stdout for --help
  };
  const Row rows[] = {
      {{"send", "/dev/kelvat-no-such-port", "x"},
       false,
       1,
       {"kelvat-port: Unable to open com port (win error code: 2)\n", "  device: /dev/kelvat-no-such-port\n",
        "  system: No such file or directory\n", "  hint: There is no port /dev/kelvat-no-such-port"}},
      {{"send", "PTY", "x"},
       true,
       1,
       {"win error code: 16)", "  system: Device or resource busy\n", " is in use by cli_tests (PID "}},
      {{"send", "PTY", "x", "--parity", "sometimes"},
       false,
       2,
       {"kelvat-port: --parity 'sometimes' is not one of None, Odd, Even, Mark, Space\n",
        "Try 'kelvat-port send --help'."}},
      {{"monitor"}, false, 2, {"kelvat-port: missing PORT\n"}},
      {{"frobnicate"}, false, 2, {"kelvat-port: unknown command 'frobnicate'\n"}},
      {{}, false, 2, {"Usage: kelvat-port COMMAND"}},
      {{"send", "--file", "/nonexistent/data", "PTY"}, false, 3, {"cannot open /nonexistent/data: No such file"}},
      {{"settings", "load", "PTY", "/nonexistent/port.ini"}, false, 3, {"/nonexistent/port.ini does not exist"}},
      {{"settings", "save", "PTY", "/nonexistent/port.ini"}, false, 3, {"Failed to store settings"}},
      {{"settings", "save", "PTY", "port.txt"}, false, 2, {"give --format ini or --format registry"}},
  };
  for (const Row& row : rows) {
    Pty pty;
    int held = -1;
    if (row.holdPort) {
      held = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
      ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    }
    const ToolResult result = RunTool(WithPort(row.args, pty.SlavePath()));
    if (held >= 0) ::close(held);
    EXPECT_EQ(result.exitCode, row.status) << testing::PrintToString(row.args) << "\n" << result.err;
    for (const std::string& text : row.said)
      EXPECT_NE(result.err.find(text), std::string::npos) << "missing: " << text << "\nin: " << result.err;
  }
}

// Every command explains itself, exit statuses included.
TEST(CliErrors, EveryCommandHasHelpWithTheExitStatuses) {
  for (const char* command : {"list", "monitor", "send", "settings", "term"}) {
    const ToolResult result = RunTool({command, "--help"});
    EXPECT_EQ(result.exitCode, 0) << command;
    EXPECT_EQ(result.out.rfind("Usage: kelvat-port "s + command, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("  3  a file or settings store could not be read or written\n"), std::string::npos)
        << command;
  }
}
