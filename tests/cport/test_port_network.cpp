// Ports on other machines, against real servers on 127.0.0.1: ser2net in
// front of a pseudo-terminal (rfc2217:// and socket://), and pySerial's RFC
// 2217 server as a second, independent implementation.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/platform/net_backend.h"
#include "CPort/platform/termios2_linux_p.h"
#include "CPort/platform/unattended_driver_p.h"
#include "CPort/platform/win_comm.h"
#include "error_display_recorder.h"
#include "net_servers.h"
#include "pty_pair.h"
#include "serve_until.h"
#include "thread_count.h"

using namespace CPort;
using namespace std::chrono_literals;
using net_test::Ser2Net;

namespace {

// Equal byte strings, or where they part (the whole strings would flood the
// log).
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << "; first difference at " << at;
}

std::string AllByteValues(int times) {
  std::string s;
  for (int t = 0; t < times; ++t) {
    for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  }
  return s;
}

// A python3 that has pySerial, or empty.
inline std::string PythonWithPySerial() {
  for (const std::string& candidate : {std::string("/usr/bin/python3"), net_test::FindProgram("python3")}) {
    if (candidate.empty() || access(candidate.c_str(), X_OK) != 0) continue;
    net_test::ChildProcess probe({candidate, "-c", "import serial.rfc2217"}, false, false, "/dev/null");
    if (probe.Wait() == 0) return candidate;
  }
  return "";
}

// pySerial's PortManager in front of a pretend port (rfc2217_server.py).
class PySerialServer {
 public:
  explicit PySerialServer(const std::string& python)
      : process_({python, TEST_SOURCE_DIR "/cport/rfc2217_server.py"}, true, true, "/dev/null") {
    const std::optional<std::string> line = process_.ReadLine(10s);
    if (!line) throw std::runtime_error("the pySerial server did not start");
    port_ = std::stoi(*line);
  }
  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  void Command(const std::string& line) { process_.WriteLine(line); }
  std::optional<std::string> Answer() { return process_.ReadLine(10s); }
  void SetLines(bool cts, bool dsr, bool ring, bool cd) {
    process_.WriteLine(std::string("lines ") + (cts ? "1" : "0") + (dsr ? " 1" : " 0") + (ring ? " 1" : " 0") +
                       (cd ? " 1" : " 0"));
  }

 private:
  net_test::ChildProcess process_;
  int port_ = 0;
};

// Reads wait up to 5 s for the bytes asked for.
void WaitingReads(TComPort& port) {
  TComTimeouts timeouts;
  timeouts.SetReadInterval(0);
  timeouts.SetReadTotalMultiplier(0);
  timeouts.SetReadTotalConstant(5000);
  port.SetTimeouts(timeouts);
}

class Ser2NetPort : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Ser2Net::Program().empty()) GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it)";
    // ser2net opens the pty only once a client connects, and a raw TCP
    // port's open does not wait for that. Holding the slave side open keeps
    // the master from seeing a hang-up before it does.
    heldSlave_ = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(heldSlave_, 0);
  }
  void TearDown() override {
    if (heldSlave_ >= 0) ::close(heldSlave_);
  }
  // What the kernel holds for the pty now, through a descriptor of our own.
  Platform::Termios2State Kernel() {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    Platform::Termios2State state;
    EXPECT_EQ(Platform::ReadTermios2(fd, state), 0);
    ::close(fd);
    return state;
  }
  PtyPair pty;
  TComPort port;
  int heldSlave_ = -1;
};

}  // namespace

// Catches: 0xFF not doubled on the way out or not undoubled on the way in,
// a Telnet sequence split between two reads decoded wrongly, bytes lost or
// reordered under load, zero bytes kept with fNull. The raw kind must pass
// the stream untouched. Neither kind starts a thread for the connection or
// its synchronous transfers: the calling thread reads and decodes.
TEST_F(Ser2NetPort, EveryByteValuePassesBothWaysInEitherKind) {
  const struct {
    const char* scheme;
    const char* accepter;
  } kinds[] = {{"rfc2217", "telnet(rfc2217),tcp"}, {"socket", "tcp"}};
  const std::string all = AllByteValues(64);  // 16 KiB: many reads, split sequences
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.scheme);
    Ser2Net server(pty.SlavePath(), kind.accepter);
    TComPort net;
    net.SetPort(server.Url(kind.scheme));
    net.SetEvents({});
    WaitingReads(net);
    ASSERT_TRUE(thread_count::UnattendedDriverGone());
    const int threadsBefore = thread_count::ThreadsOfThisProcess();
    net.OpenPort();

    EXPECT_EQ(net.SendText(all), static_cast<std::int32_t>(all.size()));
    EXPECT_TRUE(SameBytes(pty.Read(all.size()), all));

    pty.Write(all);
    std::string received, part;
    while (received.size() < all.size() && net.ReceiveText(part, static_cast<std::int32_t>(all.size())) > 0) {
      received += part;
    }
    EXPECT_TRUE(SameBytes(received, all));
    EXPECT_EQ(Platform::UnattendedDriver::RunningThreads(), 0);
    EXPECT_EQ(thread_count::ThreadsOfThisProcess(), threadsBefore);

    // Dropping received zero bytes (fNull) is the port's own job here.
    net.SetDiscardNull(true);
    pty.Write(std::string("\0x\0\0y", 5));
    EXPECT_EQ(net.ReceiveText(part, 2), 2);
    EXPECT_EQ(part, "xy");
    net.ClosePort();
  }
}

// Catches: a setting that never reaches the server, a custom rate cut to a
// standard one, stop bits, parity or flow control sent wrongly, and a
// setting applied on the open port without a round trip. A pty keeps 8 data
// bits and drops plain parity, so only what sticks there is checked. The
// rows run in this order: ser2net leaves the stick bit set when parity
// changes from mark or space to another kind.
TEST_F(Ser2NetPort, LineSettingsReachThePseudoTerminal) {
  Ser2Net server(pty.SlavePath(), "telnet(rfc2217),tcp");
  port.SetPort(server.Url("rfc2217"));
  port.SetEvents({});
  port.OpenPort();
  const struct {
    TBaudRate rate;
    std::int32_t custom;
    TStopBits stop;
    TParityBits parity;
    TFlowControl flow;
    std::uint32_t rateRead;
    tcflag_t parityBits;
  } rows[] = {
      {brCustom, 1234567, sbTwoStopBits, prOdd, fcHardware, 1234567, PARODD},
      {br57600, 0, sbOneStopBit, prMark, fcSoftware, 57600, PARODD | CMSPAR},
      {br256000, 0, sbTwoStopBits, prSpace, fcNone, 256000, CMSPAR},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rateRead);
    if (row.rate == brCustom) port.SetCustomBaudRate(row.custom);
    port.SetBaudRate(row.rate);
    port.SetStopBits(row.stop);
    port.Parity().SetBits(row.parity);
    port.FlowControl().SetFlowControl(row.flow);
    // Each setter waited for the server's answer: the pty has it now.
    const Platform::Termios2State k = Kernel();
    EXPECT_EQ(k.outputRate, row.rateRead);
    EXPECT_EQ((k.cflag & CSTOPB) != 0, row.stop == sbTwoStopBits);
    EXPECT_EQ(k.cflag & (PARODD | CMSPAR), row.parityBits);
    EXPECT_EQ((k.cflag & CRTSCTS) != 0, row.flow == fcHardware);
    EXPECT_EQ((k.iflag & (IXON | IXOFF)) != 0, row.flow == fcSoftware);
  }
}

// Catches: an input purge that leaves old bytes in the port or in flight
// from the server, or that throws the Telnet stream out of step.
TEST_F(Ser2NetPort, InputPurgeDropsWhatCameBeforeAndKeepsWhatComesAfter) {
  Ser2Net server(pty.SlavePath(), "telnet(rfc2217),tcp");
  port.SetPort(server.Url("rfc2217"));
  port.SetEvents({});
  WaitingReads(port);
  port.OpenPort();
  pty.Write("stale\xff");
  std::string text;
  ASSERT_EQ(port.ReceiveText(text, 1), 1);  // the rest is in the port or on its way
  pty.Write(std::string(2000, 's'));
  ASSERT_TRUE(Platform::PurgeComm(port.Handle(), Platform::PURGE_RXCLEAR));
  EXPECT_EQ(port.PendingInput(), 0);
  pty.Write("fresh\xff!");
  ASSERT_EQ(port.ReceiveText(text, 7), 7);
  EXPECT_EQ(text, "fresh\xff!");
}

// Catches: a lost connection that hangs the event thread or the close, or
// that goes unreported.
TEST_F(Ser2NetPort, ServerKilledMidTransferIsAVanishedDevice) {
  ErrorDisplayRecorder errors;
  std::optional<Ser2Net> server(std::in_place, pty.SlavePath(), "telnet(rfc2217),tcp");
  port.SetPort(server->Url("rfc2217"));
  std::string received;
  port.OnRxChar = [&](TComponent*, std::int32_t count) {
    std::string part;
    port.ReceiveText(part, count);
    received += part;
  };
  port.OpenPort();
  pty.Write(std::string(3000, 'x'));
  ASSERT_TRUE(ServeUntil([&] { return !received.empty(); }));
  server->Kill();
  ASSERT_TRUE(ServeUntil([&] { return errors.Count() > 0; }));
  // The event wait fails, or the handler's read if the loss came between
  // the event and the read: either way with the code of a vanished device.
  const std::string message = errors.Messages().front();
  EXPECT_TRUE(message == "WaitForEvent method failed (win error code: 5)" ||
              message == "ReadFile function failed (win error code: 5)")
      << message;
  EXPECT_THROW(port.SendText("after"), EComPort);
  port.ClosePort();
  EXPECT_FALSE(port.Connected());
}

// Catches: a port on another machine that never comes back after its server
// went away (it has no presence for the port monitor to see), one that
// gives up while the server is still down, and one that comes back without
// its settings.
TEST_F(Ser2NetPort, LostServerIsConnectedToAgainWhenItReturns) {
  ErrorDisplayRecorder errors;
  std::optional<Ser2Net> server(std::in_place, pty.SlavePath(), "telnet(rfc2217),tcp");
  const int tcpPort = server->Port();
  int back = 0;
  port.OnDeviceBack = [&](TComponent*) { ++back; };
  port.SetPort(server->Url("rfc2217"));
  port.SetBaudRate(br57600);
  port.SetReconnect(true);
  port.OpenPort();
  server->Kill();
  server.reset();
  ASSERT_TRUE(ServeUntil([&] { return port.WaitingForDevice(); }));
  // Refused attempts go on while nothing listens.
  ASSERT_TRUE(ServeUntil([&] { return port.ReconnectError() != nullptr; }));
  EXPECT_TRUE(port.WaitingForDevice());

  server.emplace(pty.SlavePath(), "telnet(rfc2217),tcp", tcpPort);
  ASSERT_TRUE(ServeUntil([&] { return back == 1; }, 15s));
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(Kernel().outputRate, 57600u);
  EXPECT_EQ(port.SendText("again"), 5);
  EXPECT_EQ(pty.Read(5), "again");
  EXPECT_EQ(errors.Count(), 1u) << "the loss, once";
  port.ClosePort();
}

// Catches: a refused or unreachable server reported with the wrong code, as
// success, or after a hang; a server that refuses the com port option
// accepted as one.
TEST_F(Ser2NetPort, FailedOpensRaiseTheOpenErrorWithTheCause) {
  Ser2Net plainTelnet(pty.SlavePath(), "telnet,tcp");
  Ser2Net noDevice(pty.SlavePath() + "-gone", "telnet(rfc2217),tcp");
  const struct {
    std::string name;
    int code;
    const char* detail;
  } rows[] = {
      {"rfc2217://127.0.0.1:" + std::to_string(net_test::FreeTcpPort()), ECONNREFUSED, "refused"},
      {"socket://127.0.0.1:" + std::to_string(net_test::FreeTcpPort()), ECONNREFUSED, "refused"},
      {plainTelnet.Url("rfc2217"), EPROTONOSUPPORT, "refused the com port option"},
      {"rfc2217://127.0.0.1", EINVAL, "port number is missing"},
      {"rfc2217://::1:2000", EINVAL, "brackets"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TComPort failing;
    failing.SetPort(row.name);
    try {
      failing.OpenPort();
      ADD_FAILURE() << "opened";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), 1);
      EXPECT_EQ(e.OsErrorCode(), row.code);
      EXPECT_EQ(std::string(e.what()), "Unable to open com port (win error code: " + std::to_string(row.code) + ")");
      EXPECT_NE(Platform::LastNetOpenDetail().find(row.detail), std::string::npos) << Platform::LastNetOpenDetail();
    }
    EXPECT_FALSE(failing.Connected());
  }

  // ser2net without its device hangs up after saying why: before the
  // options are agreed (the open fails with its text) or just after (the
  // first settings fail as on a vanished device). Either way the port
  // stays closed.
  TComPort failing;
  failing.SetPort(noDevice.Url("rfc2217"));
  try {
    failing.OpenPort();
    ADD_FAILURE() << "opened";
  } catch (const EComPort& e) {
    if (e.PortErrorCode() == 1) {
      EXPECT_EQ(e.OsErrorCode(), ECONNRESET);
      EXPECT_NE(Platform::LastNetOpenDetail().find("the server said: \"Device open failure"), std::string::npos)
          << Platform::LastNetOpenDetail();
    } else {
      EXPECT_EQ(e.PortErrorCode(), 7) << e.what();
      EXPECT_EQ(e.OsErrorCode(), EIO);
    }
  }
  EXPECT_FALSE(failing.Connected());
}

// Catches: modem-state notifications lost, reported on the wrong event, or
// GetCommModemStatus not following them; a ring not reported when it ends;
// a break not reaching the server; output sent while the server has
// suspended the flow, or lost after it resumed.
TEST(PySerialServerPort, ModemStateNotificationsBecomeSignalEvents) {
  const std::string python = PythonWithPySerial();
  if (python.empty()) GTEST_SKIP() << "python3 with pySerial is not installed (scripts/install-deps.sh installs it)";
  PySerialServer server(python);
  std::vector<std::string> seen;  // outlives the port, whose close reports too
  TComPort port;
  port.SetPort(server.Url());
  port.OnCTSChange = [&](TComponent*, bool on) { seen.push_back(on ? "CTS+" : "CTS-"); };
  port.OnDSRChange = [&](TComponent*, bool on) { seen.push_back(on ? "DSR+" : "DSR-"); };
  port.OnRLSDChange = [&](TComponent*, bool on) { seen.push_back(on ? "RLSD+" : "RLSD-"); };
  port.OnRing = [&](TComponent*) { seen.push_back("RING"); };
  WaitingReads(port);
  port.OpenPort();
  seen.clear();  // the initial states reported by the open

  const struct {
    bool cts, dsr, ring, cd;
    std::vector<std::string> events;
    TModemSignals signals;
  } rows[] = {
      {true, false, false, false, {"CTS+"}, TModemSignals{msCTS}},
      {true, true, false, true, {"DSR+", "RLSD+"}, TModemSignals{msCTS, msDSR, msRLSD}},
      {false, true, true, true, {"CTS-"}, TModemSignals{msDSR, msRing, msRLSD}},
      {false, true, false, false, {"RING", "RLSD-"}, TModemSignals{msDSR}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.events));
    server.SetLines(row.cts, row.dsr, row.ring, row.cd);
    ASSERT_TRUE(ServeUntil([&] { return seen.size() >= row.events.size(); }));
    EXPECT_EQ(seen, row.events);
    EXPECT_EQ(port.LineSignals(), row.signals);
    seen.clear();
  }
  // Data passes through this server too (it echoes).
  const std::string all = AllByteValues(4);
  EXPECT_EQ(port.SendText(all), static_cast<std::int32_t>(all.size()));
  std::string echoed;
  EXPECT_EQ(port.ReceiveText(echoed, static_cast<std::int32_t>(all.size())), static_cast<std::int32_t>(all.size()));
  EXPECT_TRUE(SameBytes(echoed, all));

  // A break begins and ends at the server; each echo shows the command
  // before it was read.
  for (const bool on : {true, false}) {
    port.SetBreak(on);
    EXPECT_EQ(port.SendText("b"), 1);
    EXPECT_EQ(port.ReceiveText(echoed, 1), 1);
    server.Command("break?");
    EXPECT_EQ(server.Answer(), on ? "break 1" : "break 0");
  }

  // FLOWCONTROL-SUSPEND holds the output, RESUME lets it go, nothing lost.
  TComTimeouts noWriteLimit = port.Timeouts();
  noWriteLimit.SetWriteTotalMultiplier(0);
  noWriteLimit.SetWriteTotalConstant(0);
  port.SetTimeouts(noWriteLimit);
  server.Command("suspend");
  server.SetLines(true, true, false, false);  // seen once the suspend before it was read
  ASSERT_TRUE(ServeUntil([&] { return !seen.empty(); }));
  const std::string held = "held";  // the pending write sends from it
  TransferRecord* record = nullptr;
  port.CreateTransferRecord(record);
  port.SendTextAsync(held, record);
  Platform::COMSTAT stat{};
  Platform::DWORD errors = 0;
  ASSERT_TRUE(Platform::ClearCommError(port.Handle(), &errors, &stat));
  EXPECT_EQ(stat.cbOutQue, 4u);
  server.Command("resume");
  EXPECT_EQ(port.AwaitTransfer(record), 4);
  port.ReleaseTransferRecord(record);
  EXPECT_EQ(port.ReceiveText(echoed, 4), 4);
  EXPECT_EQ(echoed, held);
}
