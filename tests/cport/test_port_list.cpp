#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/PortList.h"
#include "CPort/platform/virtual_device.h"
#include "test_storage_tempdir.h"

using namespace CPort;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* extra = std::getenv("CPORT_EXTRA_PORTS")) savedExtra_ = extra;
    unsetenv("CPORT_EXTRA_PORTS");
    SetSysfsRoot(tmp_.Path().string());
  }
  void TearDown() override {
    SetSysfsRoot("/sys");
    if (savedExtra_) setenv("CPORT_EXTRA_PORTS", savedExtra_->c_str(), 1);
    else unsetenv("CPORT_EXTRA_PORTS");
  }

  fs::path ClassDir() const { return tmp_.Path() / "class" / "tty"; }

  // A tty entry as the kernel lays it out: a "device" link to the device
  // directory when there is hardware behind it, and a "type" file for ports
  // of the serial core.
  void AddTty(const std::string& name, bool withDevice, const std::optional<std::string>& type = std::nullopt) {
    const fs::path entry = ClassDir() / name;
    fs::create_directories(entry);
    if (withDevice) {
      const fs::path device = tmp_.Path() / "devices" / name;
      fs::create_directories(device);
      fs::create_directory_symlink(device, entry / "device");
    }
    if (type) std::ofstream(entry / "type") << *type;
  }

  Names List() {
    Names names{"previous"};
    ListSerialPorts(names);
    return names;
  }

  TempDir tmp_;

 private:
  std::optional<std::string> savedExtra_;
};

TEST_F(PortListTest, EmptyClassGivesEmptyList) {
  fs::create_directories(ClassDir());
  EXPECT_EQ(List(), Names{});
}

TEST_F(PortListTest, MissingClassFailsAndKeepsTheList) {
  Names names{"kept"};
  try {
    ListSerialPorts(names);
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), PortErr::RegistryError);
    EXPECT_EQ(e.OsErrorCode(), ENOENT);
  }
  EXPECT_EQ(names, Names{"kept"});
}

TEST_F(PortListTest, ListsOnlyTtysWithARealDevice) {
  AddTty("ttyUSB0", true);
  AddTty("ttyACM0", true);
  AddTty("ttyAMA0", true, "83\n");
  AddTty("ttyS0", true, "4\n");   // a UART answered
  AddTty("ttyS1", true, "0\n");   // reserved by the 8250 driver, nothing there
  AddTty("tty0", false);          // virtual console
  AddTty("ptmx", false);
  AddTty("console", false);
  fs::create_directories(ClassDir() / "ttyGONE");
  fs::create_directory_symlink(tmp_.Path() / "nowhere", ClassDir() / "ttyGONE" / "device");  // dangling
  EXPECT_EQ(List(), (Names{"ttyACM0", "ttyAMA0", "ttyS0", "ttyUSB0"}));
}

TEST_F(PortListTest, SortsInPlainTextOrderWithoutRegardToCase) {
  AddTty("COM3", true);
  AddTty("COM1", true);
  AddTty("COM10", true);
  EXPECT_EQ(List(), (Names{"COM1", "COM10", "COM3"}));

  // Byte order would put "B" before "a".
  fs::remove_all(ClassDir());
  fs::create_directories(ClassDir());
  setenv("CPORT_EXTRA_PORTS", "/dev/pts/B:/dev/pts/a:/dev/pts/c", 1);
  EXPECT_EQ(List(), (Names{"/dev/pts/a", "/dev/pts/B", "/dev/pts/c"}));
}

TEST_F(PortListTest, ExtraPortsAreTakenAsGivenWithDuplicatesKept) {
  fs::create_directories(ClassDir());
  setenv("CPORT_EXTRA_PORTS", ":/tmp/vtty1::/tmp/vtty0:/tmp/vtty1:", 1);
  EXPECT_EQ(List(), (Names{"/tmp/vtty0", "/tmp/vtty1", "/tmp/vtty1"}));
}

// Catches: a network port name cut at its colons, paths no longer split on
// ':' as before, empty names listed.
TEST(ExtraPorts, SplitsOnColonsOutsideNetworkNamesAndOnSemicolons) {
  const struct {
    const char* value;
    Names names;
  } rows[] = {
      {"/dev/pts/3:/dev/pts/4", {"/dev/pts/3", "/dev/pts/4"}},
      {"/dev/pts/3:rfc2217://[::1]:2000:socket://host:7000:/dev/pts/4",
       {"/dev/pts/3", "rfc2217://[::1]:2000", "socket://host:7000", "/dev/pts/4"}},
      {"rfc2217://a:1;socket://b:2;;/dev/x", {"rfc2217://a:1", "socket://b:2", "/dev/x"}},
      {"rfc2217://host:20x:/dev/x", {"rfc2217://host:20x", "/dev/x"}},  // opens with a clear error
      {"rfc2217://[::1:/dev/x", {"rfc2217://[::1:/dev/x"}},
      {"::;", {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SplitExtraPorts(row.value), row.names) << row.value;
  }
}

TEST_F(PortListTest, IncludesRegisteredVirtualDevices) {
  AddTty("ttyUSB0", true);
  const std::string name = "VDEV-PortListTest";
  auto device = Platform::VirtualDevice::Register(name);
  const Names names = List();
  Platform::VirtualDevice::Unregister(name);
  EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "ttyUSB0"), names.end());
}

TEST_F(PortListTest, UnreadableEntryFailsWithItsErrnoAndKeepsTheList) {
  AddTty("ttyS0", true);
  fs::create_directories(ClassDir() / "ttyS0" / "type");  // reading it fails with EISDIR
  Names names{"kept"};
  try {
    ListSerialPorts(names);
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), PortErr::RegistryError);
    EXPECT_EQ(e.OsErrorCode(), EISDIR);
  }
  EXPECT_EQ(names, Names{"kept"});
}

}  // namespace
