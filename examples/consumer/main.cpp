// Uses the port library as any other program would: opens one end of a
// pseudo-terminal pair as a port and talks with the other end, stores the
// port's settings in an INI file and reads them back, moves bytes through a
// virtual device, and shows the error a missing port gives. Prints one line
// per step; exits with 0 when every step worked, 1 otherwise.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/platform/virtual_device.h"
#include "CPort/runtime/MainThread.h"
#include "CPort/storage/IniFile.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void Check(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

// Reads `count` bytes from `fd`, waiting at most `limit` in all.
std::string ReadFrom(int fd, std::size_t count, std::chrono::milliseconds limit) {
  std::string data;
  const auto deadline = Clock::now() + limit;
  while (data.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

// A pty pair: the port opens the slave, this program plays the device on
// the master.
void TalkOverPseudoTerminal(const std::string& iniPath) {
  int master = -1;
  int slave = -1;
  char slaveName[256] = {};
  Check(::openpty(&master, &slave, slaveName, nullptr, nullptr) == 0, "openpty failed");

  std::string received;
  CPort::TComPort port;
  port.SetName("ComPort1");
  port.SetPort(slaveName);
  port.SetBaudRate(CPort::br115200);
  // Handlers run on this (the main) thread while it serves the queue below.
  port.OnRxChar = [&](CPort::TComponent*, std::int32_t count) {
    std::string text;
    port.ReceiveText(text, count);
    received += text;
  };
  port.OpenPort();
  ::close(slave);  // the port holds the slave open from here on

  Check(::write(master, "ping", 4) == 4, "writing to the pty failed");
  const auto deadline = Clock::now() + 10s;
  while (received.size() < 4 && Clock::now() < deadline)
    CPort::Runtime::WaitAndServeMainThreadQueue(100ms);
  Check(received == "ping", "the port received \"" + received + "\" instead of \"ping\"");

  Check(port.SendText("pong") == 4, "SendText did not send 4 bytes");
  const std::string answer = ReadFrom(master, 4, 10s);
  Check(answer == "pong", "the pty's far end read \"" + answer + "\" instead of \"pong\"");
  std::cout << "pty " << slaveName << ": received ping, sent pong\n";

  // Settings storage: save this port's settings, load them into another.
  {
    CPort::TIniFile ini(iniPath);
    port.SaveSettingsToIni(ini);
  }
  CPort::TComPort loaded;
  loaded.SetName("ComPort1");
  CPort::TIniFile ini(iniPath);
  loaded.LoadSettingsFromIni(ini);
  Check(loaded.Port() == slaveName && loaded.BaudRate() == CPort::br115200,
        "settings read back from " + iniPath + " differ from the ones saved");
  std::cout << "settings: saved to and loaded from " << iniPath << "\n";

  port.ClosePort();
  ::close(master);
}

void TalkToVirtualDevice() {
  const std::string name = "consumer-virtual";
  auto device = CPort::Platform::VirtualDevice::Register(name);
  CPort::TComPort port;
  port.SetPort(name);
  port.SetEvents({});
  // Reads wait up to 5 s for the bytes asked for.
  port.Timeouts().SetReadInterval(0);
  port.Timeouts().SetReadTotalConstant(5000);
  port.OpenPort();
  Check(port.SendText("hello") == 5 && device->Written() == "hello", "the virtual device did not get \"hello\"");
  device->Feed("abc");
  std::string text;
  port.ReceiveText(text, 3);
  Check(text == "abc", "the port read \"" + text + "\" from the virtual device instead of \"abc\"");
  port.ClosePort();
  CPort::Platform::VirtualDevice::Unregister(name);
  std::cout << "virtual device: sent hello, received abc\n";
}

void OpenMissingPort() {
  CPort::TComPort port;
  port.SetPort("/nonexistent/kelvat-consumer-port");
  try {
    port.OpenPort();
  } catch (const CPort::EComPort& e) {
    Check(e.PortErrorCode() == CPort::PortErr::OpenFailed && e.OsErrorCode() == 2,
          std::string("unexpected error for a missing port: ") + e.what());
    std::cout << "missing port: " << e.what() << "\n";
    return;
  }
  throw std::runtime_error("opening a missing port succeeded");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string iniPath = argc > 1 ? argv[1] : "consumer-settings.ini";
  try {
    TalkOverPseudoTerminal(iniPath);
    TalkToVirtualDevice();
    OpenMissingPort();
  } catch (const std::exception& e) {
    std::cerr << "consumer: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
