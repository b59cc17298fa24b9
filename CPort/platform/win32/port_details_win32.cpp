// What Windows knows about each serial port: the name from the serial port
// map (ListSerialPorts), and from SetupAPI the device of the "Ports" class
// that registered that name: its friendly name, maker, USB ids, serial
// number, location and driver service.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CPort/PortDetails.h"
#include "CPort/PortList.h"
#include "CPort/port_sort_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

// After windows.h, which it needs.
#include <setupapi.h>

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the "Ports" (COM & LPT) class.
static const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

namespace CPort {

namespace {

std::string Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t buffer[1024];
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t), nullptr))
    return {};
  buffer[std::size(buffer) - 1] = L'\0';
  return Platform::Utf8FromWide(buffer);
}

// The port name the device registered ("PortName" of its device key).
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[256] = {};
  DWORD bytes = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS status =
      ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return Platform::Utf8FromWide(name);
}

// "USB\VID_0403&PID_6001\A50285BI": ids and, for a device with a serial
// number, the last part of the instance id.
void ReadUsbIds(const std::string& instance, TSerialPortInfo& info) {
  unsigned vid = 0, pid = 0;
  const auto at = instance.find("VID_");
  if (at == std::string::npos || std::sscanf(instance.c_str() + at, "VID_%4x&PID_%4x", &vid, &pid) != 2) return;
  info.VendorId = static_cast<std::uint16_t>(vid);
  info.ProductId = static_cast<std::uint16_t>(pid);
  const auto slash = instance.rfind('\\');
  // Windows makes up instance ids with '&' for devices without a serial.
  if (slash != std::string::npos && instance.find('&', slash) == std::string::npos)
    info.SerialNumber = instance.substr(slash + 1);
}

std::vector<TSerialPortInfo> SystemPortDetails() {
  std::vector<TSerialPortInfo> found;
  HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    TSerialPortInfo info;
    info.Name = PortNameOf(set, device);
    if (info.Name.empty()) continue;
    info.Description = Property(set, device, SPDRP_FRIENDLYNAME);
    if (info.Description.empty()) info.Description = Property(set, device, SPDRP_DEVICEDESC);
    info.Manufacturer = Property(set, device, SPDRP_MFG);
    info.Location = Property(set, device, SPDRP_LOCATION_INFORMATION);
    info.Driver = Property(set, device, SPDRP_SERVICE);
    wchar_t instance[512] = {};
    if (::SetupDiGetDeviceInstanceIdW(set, &device, instance, static_cast<DWORD>(std::size(instance)), nullptr))
      ReadUsbIds(Platform::Utf8FromWide(instance), info);
    found.push_back(std::move(info));
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::CompareStringOrdinal(Platform::WideFromUtf8(a).c_str(), -1,
                                                        Platform::WideFromUtf8(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

TSerialPortInfo Plain(const std::string& name) {
  TSerialPortInfo info;
  info.Name = name;
  info.Path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
  info.Source = TPortSource::psSystem;
  return info;
}

TSerialPortInfo WithDetails(const std::string& name, const std::vector<TSerialPortInfo>& system) {
  TSerialPortInfo info = Plain(name);
  for (const auto& s : system) {
    if (!SameName(s.Name, name)) continue;
    info.Description = s.Description;
    info.Manufacturer = s.Manufacturer;
    info.SerialNumber = s.SerialNumber;
    info.VendorId = s.VendorId;
    info.ProductId = s.ProductId;
    info.Location = s.Location;
    info.Driver = s.Driver;
    break;
  }
  return info;
}

}  // namespace

void ListSerialPortDetails(std::vector<TSerialPortInfo>& list) {
  std::vector<std::string> names;
  ListSerialPorts(names);
  const auto system = SystemPortDetails();
  std::vector<TSerialPortInfo> records;
  records.reserve(names.size());
  for (const auto& name : names) records.push_back(WithDetails(name, system));
  list.swap(records);
}

TSerialPortInfo SerialPortDetails(const std::string& name) {
  try {
    return WithDetails(name, SystemPortDetails());
  } catch (...) {
    return Plain(name);
  }
}

bool SerialPortPresent(const std::string& name) {
  std::vector<std::string> names;
  try {
    ListSerialPorts(names);
  } catch (...) {
    return false;
  }
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

bool SameDevice(const TSerialPortInfo& known, const TSerialPortInfo& found) {
  if (known.Source != found.Source) return false;
  if (known.VendorId != 0 || found.VendorId != 0) {
    if (known.VendorId != found.VendorId || known.ProductId != found.ProductId) return false;
    if (!known.SerialNumber.empty() || !found.SerialNumber.empty()) return known.SerialNumber == found.SerialNumber;
    if (!known.Location.empty() || !found.Location.empty()) return known.Location == found.Location;
    return SameName(known.Name, found.Name);
  }
  return SameName(known.Name, found.Name) && known.Description == found.Description;
}

// Windows has no /dev; nothing to point elsewhere.
void SetDevRoot(const std::string&) {}

}  // namespace CPort
