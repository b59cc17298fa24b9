// kelvat-port end to end: the built tool run on pseudo-terminal pairs, its
// output, its exit status and the bytes and settings that reach the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
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
// that need escaping kept intact. A network port used to get a "/dev/" path
// ("/dev/rfc2217://[::1]:2000"); it has its server's host, TCP port and
// protocol instead. A name that is not UTF-8 used to come back as other
// characters; its bytes stay recoverable.
// The table too: a column that exists only in --json once broke every
// listing that had a port in it.
TEST(CliList, TableAndJsonBothHoldTheExtraPorts) {
  TempDir dir;
  const std::string odd = "/tmp/odd\"port\\name\t1";
  const std::string latin1 = "/tmp/caf\xe9";
  const std::string json = dir.File("ports.json");
  const ToolResult listed = RunTool(
      {"list", "--json"},
      {"CPORT_EXTRA_PORTS=/dev/pts/77:" + odd + ":rfc2217://[::1]:2000:socket://localhost:7000:" + latin1});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::ofstream(json) << listed.out;
  const ToolResult parsed = [&] {
    // CMake reads the file and prints "name|path|kind|host|tcp_port|protocol" per entry.
    std::ofstream(dir.File("read.cmake")) << "file(READ \"" << json << "\" j)\n"
                                          << "string(JSON n LENGTH \"${j}\")\n"
                                          << "math(EXPR last \"${n} - 1\")\n"
                                          << "foreach(i RANGE ${last})\n"
                                          << "  set(line \"\")\n"
                                          << "  foreach(key name path kind host tcp_port protocol)\n"
                                          << "    string(JSON value GET \"${j}\" ${i} ${key})\n"
                                          << "    string(APPEND line \"${value}|\")\n"
                                          << "  endforeach()\n"
                                          << "  message(\"${line}\")\n"
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
  for (const std::string& entry : {"/dev/pts/77|/dev/pts/77|path||||\n"s, odd + "|" + odd + "|path||||\n",
                                   "rfc2217://[::1]:2000||network|::1|2000|rfc2217|\n"s,
                                   "socket://localhost:7000||network|localhost|7000|socket|\n"s})
    EXPECT_NE(parsed.out.find(entry), std::string::npos) << "missing: " << entry << "in:\n" << parsed.out;
  // The byte that is not UTF-8 as Python's "surrogateescape" gives it.
  EXPECT_NE(listed.out.find("\"name\": \"/tmp/caf\\udce9\""), std::string::npos) << listed.out;

  const ToolResult table = RunTool({"list"}, {"CPORT_EXTRA_PORTS=/dev/pts/77:rfc2217://[::1]:2000"});
  ASSERT_EQ(table.exitCode, 0) << table.err;
  EXPECT_EQ(table.out.rfind("NAME", 0), 0u) << table.out;
  for (const char* shown : {"/dev/pts/77", "rfc2217://[::1]:2000", "HOST", "rfc2217"})
    EXPECT_NE(table.out.find(shown), std::string::npos) << "missing: " << shown << " in:\n" << table.out;
  EXPECT_EQ(table.out.find("kind"), std::string::npos) << table.out;
}

// Settings stores are regular files. A save onto a device node used to
// replace the node with a file (as root, /dev/null too), a FIFO hung both
// commands until killed, and an endless device was read until memory ran
// out. Each is refused with exit 3 and a reason, at once, and stays what it
// was with nothing left beside it. A stored rate no device can mean used to
// load and be applied as 4294967291 bit/s; a stored queue size the device
// refuses named neither the device nor the file.
TEST(CliSettings, OnlyRegularFilesAreStoresAndBadStoredRatesAreRefused) {
  TempDir dir;
  const std::string fifo = dir.File("settings.ini"), nulldev = dir.File("null.db"),
                    zerodev = dir.File("zero.ini"), link = dir.File("link.ini"), huge = dir.File("huge.ini"),
                    negative = dir.File("negative.ini"), queue = dir.File("queue.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::mknod(nulldev.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(::mknod(zerodev.c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    ASSERT_EQ(::symlink(nulldev.c_str(), link.c_str()), 0);
  }
  std::ofstream(huge) << "[ComPort1]\nPort=x\n" << std::string(5 * 1024 * 1024, ';');
  std::ofstream(negative) << "[ComPort1]\nPort=x\nBaudRate=Custom\nCustomBaudRate=-5\n";
  std::ofstream(queue) << "[ComPort1]\nBuffer.InputSize=-2\n";
  struct Row {
    std::vector<std::string> args;
    bool needsRoot;
    int status;
    std::string said;
  } rows[] = {
      {{"settings", "save", "PTY", fifo}, false, 3, "it is a FIFO, and settings are kept only in regular files"},
      {{"settings", "load", "PTY", fifo}, false, 3, "it is a FIFO"},
      {{"settings", "save", "PTY", nulldev}, true, 3, "cannot save settings to " + nulldev + ": it is a character device"},
      {{"settings", "save", "--format", "ini", "PTY", link}, true, 3, "it is a character device"},
      {{"settings", "load", "PTY", zerodev}, true, 3, "it is a character device"},
      {{"settings", "load", "PTY", huge}, false, 3, "  system: File too large\n"},
      {{"settings", "load", "PTY", negative}, false, 1, "SetCommState function failed (win error code: 22)\n  device: "},
      {{"settings", "load", "PTY", negative}, false, 1, "  settings: loaded from " + negative + "\n"},
      {{"settings", "load", "--groups", "buffer", "PTY", queue}, false, 1,
       "SetupComm function failed (win error code: 22)\n  device: "},
  };
  const auto before = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> entries = before();
  for (const Row& row : rows) {
    if (row.needsRoot && !root) continue;
    Pty pty;
    const ToolResult result = RunTool(WithPort(row.args, pty.SlavePath()));
    EXPECT_EQ(result.exitCode, row.status) << testing::PrintToString(row.args) << "\n" << result.err;
    EXPECT_NE(result.err.find(row.said), std::string::npos) << "missing: " << row.said << "\nin: " << result.err;
  }
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  if (root) {
    ASSERT_EQ(::lstat(nulldev.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
  }
  EXPECT_EQ(before(), entries) << "something was left beside the stores";
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
      {{"frobnicate"}, false, 2, {"kelvat-port: unknown command 'frobnicate'\nTry 'kelvat-port --help'.\n"}},
      {{"send", "", "x"}, false, 2, {"kelvat-port: PORT may not be empty\n", "Try 'kelvat-port send --help'."}},
      {{"send", "PTY", "x", "--stop", "1.5"}, false, 2, {"1.5 stop bits need 5 data bits (--data 5)"}},
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
