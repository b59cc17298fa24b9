// Reconnecting: a port whose device went away waits for that same device and
// reopens it with every setting, and never takes another device that turns
// up under the old name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/PortWatcher.h"
#include "CPort/platform/termios2_linux_p.h"
#include "CPort/platform/virtual_device.h"
#include "error_display_recorder.h"
#include "pty_pair.h"
#include "serve_until.h"
#include "test_storage_tempdir.h"

using namespace CPort;
namespace fs = std::filesystem;

namespace {

struct Counts {
  int beforeOpen = 0, afterOpen = 0, afterClose = 0, wait = 0, back = 0;
  void Attach(TComPort& port) {
    port.OnBeforeOpen = [this](TComponent*) { ++beforeOpen; };
    port.OnAfterOpen = [this](TComponent*) { ++afterOpen; };
    port.OnAfterClose = [this](TComponent*) { ++afterClose; };
    port.OnDeviceWait = [this](TComponent*) { ++wait; };
    port.OnDeviceBack = [this](TComponent*) { ++back; };
  }
};

const std::string kLost = "WaitForEvent method failed (win error code: 5)";

std::string ReadAll(TComPort& port, std::size_t count) {
  std::string all;
  ServeUntil([&] {
    std::string chunk;
    port.ReceiveText(chunk, 256);
    all += chunk;
    return all.size() >= count;
  });
  return all;
}

// Would catch: a pseudo-terminal behind a link that is not reopened when the
// link returns, a reopen that loses settings, a loss reported more than
// once, and a link that now leads to another kind of device being opened.
TEST(PortReconnectTest, PtyBehindALinkComesBackWithItsSettings) {
  ErrorDisplayRecorder errors;
  TempDir tmp;
  const fs::path link = tmp.Path() / "instrument";
  auto first = std::make_unique<PtyPair>();
  fs::create_symlink(first->SlavePath(), link);

  TComPort port;
  Counts counts;
  counts.Attach(port);
  port.SetPort(link.string());
  port.SetBaudRate(br57600);
  port.SetStopBits(sbTwoStopBits);
  port.Parity().SetBits(prOdd);
  port.FlowControl().SetFlowControl(fcHardware);
  port.SetReconnect(true);
  port.OpenPort();
  first->Write("hello");
  EXPECT_EQ(ReadAll(port, 5), "hello");

  // Unplugged: the link goes, the far side closes.
  fs::remove(link);
  first->CloseMaster();
  ASSERT_TRUE(ServeUntil([&] { return port.WaitingForDevice(); }));
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(counts.afterClose, 1);
  EXPECT_EQ(counts.wait, 1);

  // Something that is not a pseudo-terminal appears under the link; a
  // watcher of the same link, told after the port, shows it was looked at.
  TPortWatcher watcher;
  watcher.SetWatch({link.string()});
  watcher.Start();
  bool linkSeen = false;
  watcher.OnPortAdded = [&](TComponent*, const TSerialPortInfo&) { linkSeen = true; };
  fs::create_symlink("/dev/null", link);
  ASSERT_TRUE(ServeUntil([&] { return linkSeen; }));
  EXPECT_TRUE(port.WaitingForDevice());
  EXPECT_EQ(counts.beforeOpen, 1) << "no attempt to open it";

  // The instrument is back behind the link, on a new pseudo-terminal.
  PtyPair second;
  fs::remove(link);
  fs::create_symlink(second.SlavePath(), link);
  ASSERT_TRUE(ServeUntil([&] { return port.Connected(); }));
  EXPECT_EQ(counts.afterOpen, 2);
  EXPECT_EQ(counts.back, 1);
  EXPECT_FALSE(port.WaitingForDevice());
  EXPECT_EQ(port.Port(), link.string());

  const int fd = ::open(second.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  Platform::Termios2State k;
  ASSERT_EQ(Platform::ReadTermios2(fd, k), 0);
  ::close(fd);
  EXPECT_EQ(k.outputRate, 57600u);
  EXPECT_NE(k.cflag & CSTOPB, 0u);
  EXPECT_EQ(k.cflag & (PARODD | CMSPAR), static_cast<unsigned>(PARODD));
  EXPECT_NE(k.cflag & CRTSCTS, 0u);

  second.Write("again");
  EXPECT_EQ(ReadAll(port, 5), "again");
  port.SendText("ok");
  EXPECT_EQ(second.Read(2), "ok");
  EXPECT_EQ(errors.Messages(), std::vector<std::string>{kLost});
}

// Would catch: a reconnect that skips the usual order of the pushes or the
// open notifications, one that survives ClosePort, and a default that
// reconnects a port that did not ask for it.
TEST(PortReconnectTest, ReopensInTheUsualOrderOnlyWhenAskedAndUntilClosed) {
  const std::string name = "VDEV-reconnect";
  auto device = Platform::VirtualDevice::Register(name);
  struct Unregister {
    std::string name;
    ~Unregister() { Platform::VirtualDevice::Unregister(name); }
  } unregister{name};
  ErrorDisplayRecorder errors;
  for (const bool reconnect : {false, true}) {
    SCOPED_TRACE(reconnect ? "reconnect on" : "reconnect off");
    TComPort port;
    Counts counts;
    counts.Attach(port);
    port.SetPort(name);
    port.SetBaudRate(br19200);
    port.SetReconnect(reconnect);
    port.OpenPort();
    device->ClearConfigCalls();
    // A virtual device is there again at once once closed: the reopen
    // follows the loss straight away. Its first attempt fails.
    device->FailOpen(ENOENT, 1);
    device->Unplug();
    ASSERT_TRUE(ServeUntil([&] { return errors.Count() == (reconnect ? 2u : 1u); }));
    if (!reconnect) {
      EXPECT_TRUE(port.Connected()) << "unchanged without reconnecting: the port stays open, its events end";
      EXPECT_EQ(counts.wait, 0);
      device->FailOpen(0);
      continue;
    }
    ASSERT_TRUE(ServeUntil([&] { return counts.back == 1; }));
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(counts.afterClose, 1);
    EXPECT_EQ(counts.beforeOpen, 3) << "first open, the failed attempt, the reopen";
    EXPECT_EQ(counts.afterOpen, 2);
    EXPECT_EQ(port.ReconnectError(), nullptr);
    const auto calls = device->ConfigCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, Platform::VirtualDevice::ConfigCall::Kind::QueueSizes);
    EXPECT_EQ(calls[1].kind, Platform::VirtualDevice::ConfigCall::Kind::State);
    EXPECT_EQ(calls[1].dcb.BaudRate, 19200u);
    EXPECT_EQ(calls[2].kind, Platform::VirtualDevice::ConfigCall::Kind::Timeouts);

    // Lost again while opening fails: it waits, until ClosePort ends that.
    device->FailOpen(ENOENT);
    device->Unplug();
    ASSERT_TRUE(ServeUntil([&] { return port.WaitingForDevice(); }));
    ASSERT_NE(port.ReconnectError(), nullptr);
    port.ClosePort();
    EXPECT_FALSE(port.WaitingForDevice());
    device->FailOpen(0);
  }
}

}  // namespace
