// Builds sysfs trees shaped like the kernel's for USB serial adapters and
// on-board UARTs, in a directory of the test's own: the tty class entry as a
// relative link into devices/, the "device" and "driver" links, and the USB
// device's and interface's attribute files. Also a /dev tree with by-id
// links, as udev makes them.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// One USB adapter with one tty. Attributes left empty are not created, as
// with adapters that lack the string.
struct UsbAdapterFixture {
  std::string tty;              // "ttyUSB0", "ttyACM0"
  std::string usbDevice;        // "1-1.2": bus 1, hub port 1, port 2
  int interfaceNumber = 0;
  std::string idVendor, idProduct;  // "0403"
  std::string manufacturer, product, serial;
  std::string interfaceString;  // the interface's own string ("interface" file)
  // usb-serial adapters have a port device between the interface and the
  // tty, bound to the usb-serial driver; CDC-ACM has the tty right under the
  // interface. Empty for CDC-ACM.
  std::string usbSerialDriver;
  std::string interfaceDriver;  // "ftdi_sio", "cp210x", "ch341", "cdc_acm"

  std::string Interface() const { return usbDevice + ":1." + std::to_string(interfaceNumber); }
};

class FakeSysfs {
 public:
  explicit FakeSysfs(fs::path root) : root_(std::move(root)) { fs::create_directories(root_ / "class" / "tty"); }

  const fs::path& Root() const { return root_; }

  void AddUsb(const UsbAdapterFixture& a) {
    const std::string bus = a.usbDevice.substr(0, a.usbDevice.find('-'));
    fs::path usb = root_ / "devices" / "pci0000:00" / "0000:00:14.0" / ("usb" + bus);
    // Each hub level is a directory of its own: 1-1, then 1-1.2.
    std::string level = bus + "-";
    const std::string ports = a.usbDevice.substr(a.usbDevice.find('-') + 1);
    std::size_t start = 0;
    for (;;) {
      const std::size_t dot = ports.find('.', start);
      level += ports.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      usb /= level;
      if (dot == std::string::npos) break;
      level += ".";
      start = dot + 1;
    }
    fs::create_directories(usb);
    Write(usb / "idVendor", a.idVendor);
    Write(usb / "idProduct", a.idProduct);
    if (!a.manufacturer.empty()) Write(usb / "manufacturer", a.manufacturer);
    if (!a.product.empty()) Write(usb / "product", a.product);
    if (!a.serial.empty()) Write(usb / "serial", a.serial);

    const fs::path iface = usb / a.Interface();
    fs::create_directories(iface);
    Write(iface / "bInterfaceNumber", "0" + std::to_string(a.interfaceNumber));
    if (!a.interfaceString.empty()) Write(iface / "interface", a.interfaceString);
    Driver(iface, "usb", a.interfaceDriver);

    fs::path device = iface;
    if (!a.usbSerialDriver.empty()) {
      device = iface / a.tty;
      fs::create_directories(device);
      Write(device / "port_number", "0");
      Driver(device, "usb-serial", a.usbSerialDriver);
    }
    AddClassEntry(a.tty, device / "tty" / a.tty, device);
  }

  // An on-board UART the way recent kernels show one: the serial core's port
  // and controller devices ("port", "ctrl") between the tty and the
  // hardware's own device, bound to `hardwareDriver`.
  void AddUart(const std::string& tty, const std::string& hardwareDriver, const std::string& type = "4") {
    const fs::path hardware = root_ / "devices" / "platform" / (hardwareDriver + ".0");
    const fs::path ctrl = hardware / (hardwareDriver + ":0");
    const fs::path port = ctrl / (hardwareDriver + ":0.0");
    fs::create_directories(port);
    Driver(hardware, "platform", hardwareDriver);
    Driver(ctrl, "serial-base", "ctrl");
    Driver(port, "serial-base", "port");
    const fs::path ttyDir = port / "tty" / tty;
    AddClassEntry(tty, ttyDir, port);
    Write(ttyDir / "type", type);
  }

  // A tty without hardware (a virtual console).
  void AddVirtualTty(const std::string& tty) {
    const fs::path dir = root_ / "devices" / "virtual" / "tty" / tty;
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::relative(dir, root_ / "class" / "tty"), root_ / "class" / "tty" / tty);
  }

  // The adapter is pulled out: its class entry and devices go.
  void Remove(const std::string& tty) {
    const fs::path entry = root_ / "class" / "tty" / tty;
    const fs::path device = fs::canonical(entry / "device");
    fs::remove(entry);
    fs::remove_all(device);
  }

  // udev's /dev/serial/by-id/<link> -> ../../<tty>, under `devRoot`.
  static void AddByIdLink(const fs::path& devRoot, const std::string& link, const std::string& tty) {
    fs::create_directories(devRoot / "serial" / "by-id");
    fs::create_symlink(fs::path("../..") / tty, devRoot / "serial" / "by-id" / link);
  }

  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text << '\n'; }

 private:
  void Driver(const fs::path& device, const std::string& bus, const std::string& driver) {
    if (driver.empty()) return;
    const fs::path dir = root_ / "bus" / bus / "drivers" / driver;
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::relative(dir, device), device / "driver");
  }

  void AddClassEntry(const std::string& tty, const fs::path& ttyDir, const fs::path& device) {
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(fs::relative(device, ttyDir), ttyDir / "device");
    fs::create_directory_symlink(fs::relative(ttyDir, root_ / "class" / "tty"), root_ / "class" / "tty" / tty);
  }

  fs::path root_;
};
