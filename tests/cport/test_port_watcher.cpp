// The port watcher: kernel uevents (fed through a socket pair, and from the
// real kernel where root may ask it for one), links that come and go, and a
// kernel that refuses the uevent socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CPort/PortList.h"
#include "CPort/PortWatcher.h"
#include "CPort/port_monitor_p.h"
#include "error_display_recorder.h"
#include "fake_sysfs.h"
#include "pty_pair.h"
#include "serve_until.h"
#include "test_storage_tempdir.h"

using namespace CPort;
using CPort::Detail::PortMonitor;

namespace {

const UsbAdapterFixture kFtdi{"ttyUSB0", "1-1.2", 0, "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI",
                              "",        "ftdi_sio", "ftdi_sio"};

// Records what a watcher reports, in order: "+name" and "-name".
struct Reports {
  std::vector<std::string> events;
  int changes = 0;
  void Attach(TPortWatcher& watcher) {
    watcher.OnPortAdded = [this](TComponent*, const TSerialPortInfo& p) { events.push_back("+" + p.Name); };
    watcher.OnPortRemoved = [this](TComponent*, const TSerialPortInfo& p) { events.push_back("-" + p.Name); };
    watcher.OnChange = [this](TComponent*) { ++changes; };
  }
};

class PortWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* extra = std::getenv("CPORT_EXTRA_PORTS")) savedExtra_ = extra;
    unsetenv("CPORT_EXTRA_PORTS");
    SetSysfsRoot(sysfs_.Root().string());
  }
  void TearDown() override {
    watcher.reset();
    PortMonitor::SetUeventSocketOpener(nullptr);
    for (const int fd : {kernelSide_, watcherSide_})
      if (fd >= 0) close(fd);
    SetSysfsRoot("/sys");
    if (!savedExtra_.empty()) setenv("CPORT_EXTRA_PORTS", savedExtra_.c_str(), 1);
  }

  // The watcher reads uevents from a socket pair whose other end the test
  // writes as the kernel would.
  void InjectKernel() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    kernelSide_ = fds[0];
    watcherSide_ = fds[1];
    PortMonitor::SetUeventSocketOpener([this] { return dup(watcherSide_); });
  }
  void SendUevent(const std::string& action, const std::string& devpath, const std::string& subsystem) {
    std::string message = action + "@" + devpath;
    message += '\0';
    for (const std::string& field :
         {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=" + subsystem, std::string("SEQNUM=1")}) {
      message += field;
      message += '\0';
    }
    ASSERT_EQ(send(kernelSide_, message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
  }

  void StartWatcher(std::vector<std::string> paths = {}) {
    watcher = std::make_unique<TPortWatcher>();
    reports.Attach(*watcher);
    watcher->SetWatch(std::move(paths));
    watcher->Start();
  }

  // Waits until the watcher's thread has handled everything that woke it.
  static unsigned long SettledWakeUps() {
    unsigned long seen = PortMonitor::Shared().WakeUps();
    EXPECT_TRUE(ServeUntil([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const unsigned long now = PortMonitor::Shared().WakeUps();
      const bool settled = now == seen;
      seen = now;
      return settled;
    }));
    return seen;
  }

  bool ServeUntilEvents(std::size_t count) {
    return ServeUntil([&] { return reports.events.size() >= count; });
  }

  TempDir tmp_;
  FakeSysfs sysfs_{tmp_.Path() / "sys"};
  std::unique_ptr<TPortWatcher> watcher;
  Reports reports;

 private:
  std::string savedExtra_;
  int kernelSide_ = -1;
  int watcherSide_ = -1;
};

// Would catch: a watcher that misses an adapter plugged in or pulled out,
// reports it twice, or rescans on every uevent of other subsystems.
TEST_F(PortWatcherTest, UeventsOfTtysReportAdaptersAddedAndRemovedOnce) {
  InjectKernel();
  sysfs_.AddUart("ttyS0", "serial8250");
  StartWatcher();
  ASSERT_EQ(watcher->Ports().size(), 1u);
  EXPECT_EQ(watcher->SourceError(), 0);

  sysfs_.AddUsb(kFtdi);
  // A USB device's own event says nothing about ttys: no listing, no report.
  const unsigned long before = SettledWakeUps();
  SendUevent("add", "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2", "usb");
  ASSERT_TRUE(ServeUntil([&] { return PortMonitor::Shared().WakeUps() > before; }));
  Runtime::ServeMainThreadQueue();
  EXPECT_TRUE(reports.events.empty());

  SendUevent("add", "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0/tty/ttyUSB0", "tty");
  ASSERT_TRUE(ServeUntilEvents(1));
  EXPECT_EQ(reports.events, std::vector<std::string>{"+ttyUSB0"});
  const auto ports = watcher->Ports();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[1].SerialNumber, "A50285BI");

  sysfs_.Remove("ttyUSB0");
  SendUevent("remove", "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0/tty/ttyUSB0", "tty");
  ASSERT_TRUE(ServeUntilEvents(2));
  EXPECT_EQ(reports.events, (std::vector<std::string>{"+ttyUSB0", "-ttyUSB0"}));
  EXPECT_EQ(reports.changes, 2);
}

// Would catch: a watcher thread that wakes up while nothing happens (a poll
// with a timeout, a descriptor left readable).
TEST_F(PortWatcherTest, SleepsWhileNothingHappens) {
  InjectKernel();
  const fs::path link = tmp_.Path() / "link";
  StartWatcher({link.string()});
  // Once the thread has settled into its wait, nothing wakes it.
  const unsigned long settled = SettledWakeUps();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(PortMonitor::Shared().WakeUps(), settled);
}

// Would catch: a link watched by itself (its watch dies with it), so a port
// that comes back behind the same link is never seen again.
TEST_F(PortWatcherTest, ALinkThatDisappearsAndReturnsIsReportedEachTime) {
  InjectKernel();
  PtyPair first, second;
  const fs::path link = tmp_.Path() / "device";
  fs::create_symlink(first.SlavePath(), link);
  setenv("CPORT_EXTRA_PORTS", link.c_str(), 1);
  StartWatcher();
  ASSERT_EQ(watcher->Ports().size(), 1u);
  EXPECT_EQ(watcher->Ports()[0].Description, "pseudo-terminal");

  fs::remove(link);
  ASSERT_TRUE(ServeUntilEvents(1));
  fs::create_symlink(second.SlavePath(), link);
  ASSERT_TRUE(ServeUntilEvents(2));
  // The far side of the link closing counts too, though the link stays.
  second.CloseMaster();
  ASSERT_TRUE(ServeUntilEvents(3));
  EXPECT_EQ(reports.events, (std::vector<std::string>{"-" + link.string(), "+" + link.string(), "-" + link.string()}));
}

// Would catch: a refused uevent socket that ends in a busy loop, an error per
// start instead of one, or no following of paths at all.
TEST_F(PortWatcherTest, ARefusedUeventSocketIsReportedOnceAndPathsAreStillFollowed) {
  ErrorDisplayRecorder errors;
  PortMonitor::SetUeventSocketOpener([] {
    errno = EPROTONOSUPPORT;
    return -1;
  });
  const fs::path link = tmp_.Path() / "device";
  StartWatcher({link.string()});
  EXPECT_EQ(watcher->SourceError(), EPROTONOSUPPORT);
  watcher->Stop();
  watcher->Start();

  PtyPair pty;
  fs::create_symlink(pty.SlavePath(), link);
  ASSERT_TRUE(ServeUntilEvents(1));
  EXPECT_EQ(reports.events, std::vector<std::string>{"+" + link.string()});
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"EnumPorts function failed (win error code: " + std::to_string(EPROTONOSUPPORT) + ")"});
}

// The real kernel: root can make it send an event for a virtual console
// (never a ttyS*, the first of which is the machine's console). The listing
// reads the test's own tree, where that tty has a device.
TEST_F(PortWatcherTest, RealKernelUeventsReachTheWatcher) {
  const char* trigger = "/sys/class/tty/tty5/uevent";
  if (geteuid() != 0 || access(trigger, W_OK) != 0) GTEST_SKIP() << "cannot ask the kernel for a uevent";
  StartWatcher();
  if (watcher->SourceError() != 0) GTEST_SKIP() << "the kernel refuses the uevent socket";

  const auto ask = [&](const char* action) {
    std::ofstream out(trigger);
    out << action << " 4e4c3b3a-1111-2222-3333-444455556666 TEST=1";
    out.close();
    ASSERT_TRUE(out.good());
  };
  sysfs_.AddUart("tty5", "serial8250");
  ask("add");
  ASSERT_TRUE(ServeUntilEvents(1));
  sysfs_.Remove("tty5");
  ask("remove");
  ASSERT_TRUE(ServeUntilEvents(2));
  EXPECT_EQ(reports.events, (std::vector<std::string>{"+tty5", "-tty5"}));
}

}  // namespace
