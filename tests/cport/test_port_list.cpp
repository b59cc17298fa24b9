#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/PortDetails.h"
#include "CPort/PortList.h"
#include "CPort/platform/virtual_device.h"
#include "fake_sysfs.h"
#include "pty_pair.h"
#include "test_storage_tempdir.h"

using namespace CPort;
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

// One entry that vanishes or cannot be read used to fail the whole list (and
// the program's start); it is no port to offer, and the others still are.
TEST_F(PortListTest, EntryThatCannotBeReadIsLeftOutAndTheOthersListed) {
  const struct {
    const char* name;
    std::function<void(const fs::path& entry)> spoil;
  } rows[] = {
      {"ttyLOOP", [&](const fs::path& e) { fs::remove(e / "device"); fs::create_symlink(e / "device", e / "device"); }},
      {"ttyTYPEDIR", [&](const fs::path& e) { fs::create_directories(e / "type"); }},
      {"ttyTYPELOOP", [&](const fs::path& e) { fs::create_symlink(e / "type", e / "type"); }},
      {"ttyGONE", [&](const fs::path& e) { fs::remove_all(e); fs::create_directory_symlink(tmp_.Path() / "unplugged", e); }},
  };
  AddTty("ttyUSB0", true);
  for (const auto& row : rows) {
    AddTty(row.name, true);
    row.spoil(ClassDir() / row.name);
  }
  AddTty("ttyUSB1", true, "4\n");
  EXPECT_EQ(List(), (Names{"ttyUSB0", "ttyUSB1"}));
}

}  // namespace

// --- Port details ------------------------------------------------------------

namespace {

struct DetailsRow {
  const char* what;
  std::string name;
  std::string description, manufacturer, serial;
  std::uint16_t vendor, product;
  std::string location, driver, byId;
  TPortSource source;
};

class PortDetailsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* extra = std::getenv("CPORT_EXTRA_PORTS")) savedExtra_ = extra;
    SetSysfsRoot(sysfs_.Root().string());
    SetDevRoot((tmp_.Path() / "dev").string());
  }
  void TearDown() override {
    SetSysfsRoot("/sys");
    SetDevRoot("/dev");
    if (savedExtra_) setenv("CPORT_EXTRA_PORTS", savedExtra_->c_str(), 1);
    else unsetenv("CPORT_EXTRA_PORTS");
  }
  TempDir tmp_;
  FakeSysfs sysfs_{tmp_.Path() / "sys"};

 private:
  std::optional<std::string> savedExtra_;
};

// Would catch: details read from the wrong level of the device tree (the
// interface's or the port's directory instead of the USB device's), a
// description that is empty where the kernel offers a product string, an
// interface string or a driver, the serial core's "port" driver taken for
// the hardware's, and a by-id link matched to the wrong tty.
TEST_F(PortDetailsTest, DetailsOfRealAdapterShapes) {
  sysfs_.AddUsb({"ttyUSB0", "1-1.2", 0, "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "", "ftdi_sio",
                 "ftdi_sio"});
  sysfs_.AddUsb({"ttyUSB1", "1-1.4", 0, "10c4", "ea60", "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001",
                 "", "cp210x", "cp210x"});
  // CH340: no manufacturer, no serial number.
  sysfs_.AddUsb({"ttyUSB2", "2-3", 0, "1a86", "7523", "", "USB Serial", "", "", "ch341-uart", "ch341"});
  // An Arduino's CDC-ACM: no product string; the tty sits on the interface.
  sysfs_.AddUsb({"ttyACM0", "1-3", 0, "2341", "0043", "Arduino (www.arduino.cc)", "", "75833353035351A0E1D1", "",
                 "", "cdc_acm"});
  // A second CDC-ACM interface with its own string (a debug probe's UART).
  sysfs_.AddUsb({"ttyACM1", "1-5", 2, "0d28", "0204", "ARM", "", "0240000034544e45", "CMSIS-DAP UART", "",
                 "cdc_acm"});
  sysfs_.AddUart("ttyS0", "serial8250");
  FakeSysfs::AddByIdLink(tmp_.Path() / "dev", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  FakeSysfs::AddByIdLink(tmp_.Path() / "dev", "usb-1a86_USB_Serial-if00-port0", "ttyUSB2");

  PtyPair pty;
  const std::string ptyLink = (tmp_.Path() / "instrument").string();
  fs::create_symlink(pty.SlavePath(), ptyLink);
  // A link to a kernel tty gets that tty's details.
  std::ofstream(tmp_.Path() / "dev" / "ttyUSB1").put('\n');
  const std::string adapterLink = (tmp_.Path() / "cp2102").string();
  fs::create_symlink(tmp_.Path() / "dev" / "ttyUSB1", adapterLink);
  setenv("CPORT_EXTRA_PORTS", (ptyLink + ":" + adapterLink).c_str(), 1);
  auto device = Platform::VirtualDevice::Register("VDEV-details");

  const std::string byId = (tmp_.Path() / "dev" / "serial" / "by-id").string() + "/";
  const DetailsRow rows[] = {
      {"FTDI", "ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001, "1-1.2:1.0", "ftdi_sio",
       byId + "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", TPortSource::psSystem},
      {"CP210x", "ttyUSB1", "CP2102 USB to UART Bridge Controller", "Silicon Labs", "0001", 0x10c4, 0xea60,
       "1-1.4:1.0", "cp210x", "", TPortSource::psSystem},
      {"CH340", "ttyUSB2", "USB Serial", "", "", 0x1a86, 0x7523, "2-3:1.0", "ch341-uart",
       byId + "usb-1a86_USB_Serial-if00-port0", TPortSource::psSystem},
      {"CDC-ACM without product", "ttyACM0", "cdc_acm", "Arduino (www.arduino.cc)", "75833353035351A0E1D1", 0x2341,
       0x0043, "1-3:1.0", "cdc_acm", "", TPortSource::psSystem},
      {"CDC-ACM interface string", "ttyACM1", "CMSIS-DAP UART", "ARM", "0240000034544e45", 0x0d28, 0x0204,
       "1-5:1.2", "cdc_acm", "", TPortSource::psSystem},
      {"on-board UART", "ttyS0", "serial8250", "", "", 0, 0, "", "port", "", TPortSource::psSystem},
      {"pty behind a link", ptyLink, "pseudo-terminal", "", "", 0, 0, "", "", "", TPortSource::psPath},
      {"link to an adapter", adapterLink, "CP2102 USB to UART Bridge Controller", "Silicon Labs", "0001", 0x10c4,
       0xea60, "1-1.4:1.0", "cp210x", "", TPortSource::psPath},
      {"virtual device", "VDEV-details", "", "", "", 0, 0, "", "", "", TPortSource::psVirtual},
  };

  std::vector<TSerialPortInfo> details{TSerialPortInfo{}};
  ListSerialPortDetails(details);
  std::vector<std::string> names;
  ListSerialPorts(names);
  Platform::VirtualDevice::Unregister("VDEV-details");
  ASSERT_EQ(details.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(details[i].Name, names[i]) << "same order as the list";

  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto it = std::find_if(details.begin(), details.end(), [&](const auto& d) { return d.Name == row.name; });
    ASSERT_NE(it, details.end());
    EXPECT_EQ(it->Description, row.description);
    EXPECT_EQ(it->Manufacturer, row.manufacturer);
    EXPECT_EQ(it->SerialNumber, row.serial);
    EXPECT_EQ(it->VendorId, row.vendor);
    EXPECT_EQ(it->ProductId, row.product);
    EXPECT_EQ(it->Location, row.location);
    EXPECT_EQ(it->Driver, row.driver);
    EXPECT_EQ(it->ById, row.byId);
    EXPECT_EQ(it->Source, row.source);
    EXPECT_EQ(it->Path, row.source == TPortSource::psSystem ? "/dev/" + row.name : row.name);
  }
}

TSerialPortInfo Usb(const std::string& name, std::uint16_t vendor, std::uint16_t product, const std::string& serial,
                    const std::string& location, const std::string& byId = "") {
  TSerialPortInfo info;
  info.Name = name;
  info.Path = "/dev/" + name;
  info.VendorId = vendor;
  info.ProductId = product;
  info.SerialNumber = serial;
  info.Location = location;
  info.ById = byId;
  info.Description = "USB Serial";
  return info;
}

TSerialPortInfo Other(TPortSource source, const std::string& name, const std::string& description) {
  TSerialPortInfo info;
  info.Name = name;
  info.Source = source;
  info.Description = description;
  return info;
}

// Would catch: a reconnect that takes whatever adapter got the old name, or
// misses the same adapter under a new name or in another socket.
TEST(SameDeviceTest, TheSameAdapterIsFoundAndAnotherNeverTaken) {
  const auto pty = TPortSource::psPath;
  const struct {
    const char* what;
    TSerialPortInfo known, found;
    bool same;
  } rows[] = {
      {"same serial, new name, other socket", Usb("ttyUSB0", 0x0403, 0x6001, "A5", "1-1:1.0"),
       Usb("ttyUSB1", 0x0403, 0x6001, "A5", "1-2:1.0"), true},
      {"other serial under the old name", Usb("ttyUSB0", 0x0403, 0x6001, "A5", "1-1:1.0"),
       Usb("ttyUSB0", 0x0403, 0x6001, "B7", "1-1:1.0"), false},
      {"a serial number where there was none", Usb("ttyUSB0", 0x0403, 0x6001, "", "1-1:1.0"),
       Usb("ttyUSB0", 0x0403, 0x6001, "B7", "1-1:1.0"), false},
      {"other port of a two-port adapter", Usb("ttyUSB0", 0x0403, 0x6010, "FT2", "1-1:1.0"),
       Usb("ttyUSB0", 0x0403, 0x6010, "FT2", "1-1:1.1"), false},
      {"other vendor under the old name", Usb("ttyUSB0", 0x0403, 0x6001, "", "1-1:1.0"),
       Usb("ttyUSB0", 0x10c4, 0xea60, "", "1-1:1.0"), false},
      {"no serial, same socket, new name", Usb("ttyUSB0", 0x1a86, 0x7523, "", "2-3:1.0"),
       Usb("ttyUSB1", 0x1a86, 0x7523, "", "2-3:1.0"), true},
      {"no serial, same model in another socket takes the old name",
       Usb("ttyUSB0", 0x1a86, 0x7523, "", "2-3:1.0", "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"),
       Usb("ttyUSB0", 0x1a86, 0x7523, "", "2-4:1.0", "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"), false},
      {"no serial, no location, same by-id link", Usb("ttyUSB0", 0x1a86, 0x7523, "", "", "/dev/serial/by-id/x"),
       Usb("ttyUSB3", 0x1a86, 0x7523, "", "", "/dev/serial/by-id/x"), true},
      {"on-board UART, same name and driver", Other(TPortSource::psSystem, "ttyS0", "serial8250"),
       Other(TPortSource::psSystem, "ttyS0", "serial8250"), true},
      {"a USB adapter where a UART was", Other(TPortSource::psSystem, "ttyS0", "serial8250"),
       Usb("ttyS0", 0x0403, 0x6001, "A5", "1-1:1.0"), false},
      {"pty behind the same link", Other(pty, "/tmp/dev", "pseudo-terminal"), Other(pty, "/tmp/dev", "pseudo-terminal"),
       true},
      {"the link now leads to something else", Other(pty, "/tmp/dev", "pseudo-terminal"), Other(pty, "/tmp/dev", ""),
       false},
      {"another link to a pty", Other(pty, "/tmp/dev", "pseudo-terminal"), Other(pty, "/tmp/dev2", "pseudo-terminal"),
       false},
      {"a kernel tty of the same name as a path", Other(pty, "/dev/ttyUSB0", ""),
       Other(TPortSource::psSystem, "ttyUSB0", ""), false},
      {"virtual device of the same name", Other(TPortSource::psVirtual, "V", ""), Other(TPortSource::psVirtual, "V", ""),
       true},
  };
  for (const auto& row : rows) EXPECT_EQ(SameDevice(row.known, row.found), row.same) << row.what;
}

}  // namespace
