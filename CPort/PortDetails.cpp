// Port details from sysfs. A tty's class entry links to the device behind
// it; climbing from there reaches, for a USB adapter, the USB interface and
// then the USB device, whose attribute files hold the ids and strings.
//
//   class/tty/ttyUSB0 -> devices/.../1-1.2/1-1.2:1.0/ttyUSB0/tty/ttyUSB0
//   class/tty/ttyUSB0/device = .../1-1.2:1.0/ttyUSB0   (usb-serial: ftdi_sio, cp210x, ch341-uart)
//   class/tty/ttyACM0/device = .../1-3/1-3:1.0         (cdc_acm: the interface itself)
//   .../1-1.2                                         idVendor, idProduct, manufacturer, product, serial
#include "CPort/path_parts_p.h"
#include "CPort/PortDetails.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

#include "CPort/PortList.h"
#include "CPort/platform/in_process_devices_p.h"
#include "CPort/platform/net_address.h"
#include "CPort/port_sort_p.h"
#include "CPort/sysfs_root_p.h"

namespace CPort {

namespace {

std::mutex gDevRootMutex;
std::string gDevRoot = "/dev";

std::string DevRoot() {
  const std::lock_guard<std::mutex> lock(gDevRootMutex);
  return gDevRoot;
}

// Pseudo-terminal slaves (UNIX98) use these character majors.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

// A path with symbolic links and ".." resolved, or nothing when some part of
// it does not exist.
std::optional<std::string> Canonical(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

using Detail::LastPathPart;
using Detail::ParentPath;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A sysfs attribute without its trailing line break and blanks; empty when
// the file is missing or unreadable (a detail the kernel does not offer).
std::string Attribute(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// The target of a symbolic link as written, or empty.
std::string LinkTarget(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::uint16_t HexId(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (errno != 0 || *end != '\0' || value > 0xFFFF) return 0;
  return static_cast<std::uint16_t>(value);
}

// The name of the driver bound to a device directory, and whether it
// belongs to the serial core's own bus ("port", "ctrl"), which says nothing
// about the hardware.
struct DriverLink {
  std::string name;
  bool serialCore = false;
};
DriverLink DriverOf(const std::string& deviceDir) {
  const std::string target = LinkTarget(deviceDir + "/driver");
  if (target.empty()) return {};
  return {LastPathPart(target), target.find("/bus/serial-base/") != std::string::npos};
}

// The kernel's tty class entry has a device behind it, and is not one of the
// 8250 driver's placeholders without a UART.
bool KernelTtyPresent(const std::string& sysfs, const std::string& name) {
  const std::string entry = sysfs + "/class/tty/" + name;
  if (!Exists(entry + "/device")) return false;
  return Attribute(entry + "/type") != "0";
}

std::string ByIdLink(const std::string& name) {
  const std::string dir = DevRoot() + "/serial/by-id";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return {};
  std::vector<std::string> links;
  while (const dirent* entry = readdir(d)) {
    const std::string link = entry->d_name;
    if (link == "." || link == "..") continue;
    if (LastPathPart(LinkTarget(dir + "/" + link)) == name) links.push_back(dir + "/" + link);
  }
  closedir(d);
  if (links.empty()) return {};
  std::sort(links.begin(), links.end());  // one answer, the same every time
  return links.front();
}

// Fills the hardware details of the kernel tty `name` (Name, Path and Source
// are the caller's).
void ReadKernelTty(const std::string& name, TSerialPortInfo& info) {
  const std::string sysfs = Detail::CurrentSysfsRoot();
  const auto root = Canonical(sysfs);
  const auto device = Canonical(sysfs + "/class/tty/" + name + "/device");
  if (!root || !device) return;
  info.Driver = DriverOf(*device).name;
  info.ById = ByIdLink(name);

  // Climb towards the root: the first directory with USB ids is the USB
  // device, the one below it the interface the port belongs to.
  const std::string top = *root + "/devices";
  std::string below;
  std::string usb;
  std::string hardwareDriver;
  for (std::string dir = *device; dir.size() > top.size() && dir.compare(0, top.size(), top) == 0;
       dir = ParentPath(dir)) {
    if (Exists(dir + "/idVendor")) {
      usb = dir;
      break;
    }
    if (hardwareDriver.empty()) {
      const DriverLink driver = DriverOf(dir);
      if (!driver.name.empty() && !driver.serialCore) hardwareDriver = driver.name;
    }
    below = dir;
  }

  if (usb.empty()) {
    info.Description = hardwareDriver;
    return;
  }
  info.VendorId = HexId(Attribute(usb + "/idVendor"));
  info.ProductId = HexId(Attribute(usb + "/idProduct"));
  info.Manufacturer = Attribute(usb + "/manufacturer");
  info.SerialNumber = Attribute(usb + "/serial");
  const std::string interfaceDir = below.empty() ? usb : below;
  const std::string interfaceName = LastPathPart(interfaceDir);
  info.Location = interfaceName.find(':') != std::string::npos ? interfaceName : LastPathPart(usb);
  info.Description = Attribute(usb + "/product");
  if (info.Description.empty() && !below.empty()) info.Description = Attribute(below + "/interface");
  if (info.Description.empty()) info.Description = hardwareDriver.empty() ? info.Driver : hardwareDriver;
}

// A path says what it leads to: a pseudo-terminal, a kernel tty (then the
// tty's details), or nothing known.
void ReadPathTarget(const std::string& path, TSerialPortInfo& info) {
  const auto target = Canonical(path);
  if (!target) return;
  struct stat st {};
  if (stat(target->c_str(), &st) != 0) return;
  if (S_ISCHR(st.st_mode) && major(st.st_rdev) >= kPtySlaveMajorFirst && major(st.st_rdev) <= kPtySlaveMajorLast) {
    info.Description = "pseudo-terminal";
    return;
  }
  const auto devRoot = Canonical(DevRoot());
  if (!devRoot || ParentPath(*target) != *devRoot) return;
  const std::string name = LastPathPart(*target);
  if (KernelTtyPresent(Detail::CurrentSysfsRoot(), name)) ReadKernelTty(name, info);
}

// The part of a USB location that names the interface ("1.0" of
// "1-1.2:1.0"): the same adapter plugged elsewhere keeps it.
std::string InterfacePart(const std::string& location) {
  const auto colon = location.rfind(':');
  return colon == std::string::npos ? std::string() : location.substr(colon + 1);
}

TPortSource SourceOf(const std::string& name) {
  if (Platform::IsVirtualDeviceName(name)) return TPortSource::psVirtual;
  if (Platform::IsNetPortName(name)) return TPortSource::psNetwork;
  if (!name.empty() && name.front() == '/') return TPortSource::psPath;
  return TPortSource::psSystem;
}

void ReadNetworkAddress(const std::string& name, TSerialPortInfo& info) {
  Platform::NetPortAddress address;
  std::string detail;
  if (Platform::ParseNetPortName(name, address, detail) != 0) return;
  info.Host = address.host;
  info.TcpPort = address.port;
  const bool rfc2217 = address.kind == Platform::NetPortKind::Rfc2217;
  info.Protocol = rfc2217 ? "rfc2217" : "socket";
  info.Description = rfc2217 ? "network port (RFC 2217)" : "network port (raw TCP)";
}

}  // namespace

TSerialPortInfo SerialPortDetails(const std::string& name) {
  TSerialPortInfo info;
  info.Name = name;
  info.Source = SourceOf(name);
  switch (info.Source) {
    case TPortSource::psVirtual:
      info.Path = name;
      break;
    case TPortSource::psNetwork:
      info.Path = name;
      ReadNetworkAddress(name, info);
      break;
    case TPortSource::psPath:
      info.Path = name;
      ReadPathTarget(name, info);
      break;
    case TPortSource::psSystem:
      info.Path = "/dev/" + name;
      if (KernelTtyPresent(Detail::CurrentSysfsRoot(), name)) ReadKernelTty(name, info);
      break;
  }
  return info;
}

void ListSerialPortDetails(std::vector<TSerialPortInfo>& list) {
  std::vector<std::string> names;
  ListSerialPorts(names);
  std::vector<TSerialPortInfo> details;
  details.reserve(names.size());
  for (const auto& name : names) details.push_back(SerialPortDetails(name));
  list.swap(details);
}

bool SerialPortPresent(const std::string& name) {
  switch (SourceOf(name)) {
    case TPortSource::psVirtual: return true;
    case TPortSource::psNetwork: return true;
    case TPortSource::psPath: return Exists(name);
    case TPortSource::psSystem: return KernelTtyPresent(Detail::CurrentSysfsRoot(), name);
  }
  return false;
}

bool SameDevice(const TSerialPortInfo& known, const TSerialPortInfo& found) {
  if (known.Source != found.Source) return false;
  if (known.Source == TPortSource::psVirtual) return known.Name == found.Name;
  // A path is the name the user gave; another path is another port even
  // when it leads to the same adapter.
  if (known.Source == TPortSource::psPath && known.Name != found.Name) return false;

  if (known.VendorId != 0 || found.VendorId != 0) {
    if (known.VendorId != found.VendorId || known.ProductId != found.ProductId) return false;
    if (!known.SerialNumber.empty() || !found.SerialNumber.empty())
      return known.SerialNumber == found.SerialNumber && InterfacePart(known.Location) == InterfacePart(found.Location);
    // Without a serial number the socket it is plugged into tells identical
    // adapters apart; a by-id link then names only the model.
    if (!known.Location.empty() || !found.Location.empty()) return known.Location == found.Location;
    if (!known.ById.empty() || !found.ById.empty()) return known.ById == found.ById;
    return known.Name == found.Name;
  }
  return known.Name == found.Name && known.Description == found.Description;
}

void SetDevRoot(const std::string& root) {
  const std::lock_guard<std::mutex> lock(gDevRootMutex);
  gDevRoot = root;
}

}  // namespace CPort
