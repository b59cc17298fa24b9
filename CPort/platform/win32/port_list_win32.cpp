// The serial ports present on Windows: the values of the serial port map
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, whose data are the names
// ("COM3") that the drivers of the ports present have registered.
#include <cstdlib>
#include <string>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/PortList.h"
#include "CPort/port_sort_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort {

namespace {

[[noreturn]] void Fail(LSTATUS error) { throw EComPort(PortErr::RegistryError, static_cast<int>(error)); }

void AddRegisteredPorts(std::vector<std::string>& names) {
  HKEY key = nullptr;
  LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key);
  // No port has ever been registered: the key is not there.
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) Fail(status);
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = static_cast<DWORD>(std::size(valueName));
    wchar_t data[256];
    DWORD dataBytes = sizeof data;
    DWORD type = 0;
    status = ::RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                             &dataBytes);
    if (status == ERROR_NO_MORE_ITEMS) break;
    // A value that changed size meanwhile, or one too long to be a port
    // name, is left out.
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) {
      ::RegCloseKey(key);
      Fail(status);
    }
    if (type != REG_SZ) continue;
    std::wstring name(data, dataBytes / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\0') name.pop_back();
    if (!name.empty()) names.push_back(Platform::Utf8FromWide(name));
  }
  ::RegCloseKey(key);
}

void AddExtraPorts(std::vector<std::string>& names) {
  const char* value = std::getenv("CPORT_EXTRA_PORTS");
  if (value == nullptr) return;
  for (auto& name : SplitExtraPorts(value)) names.push_back(std::move(name));
}

}  // namespace

// Network port names are not accepted on Windows, so every ':' and ';'
// separates.
std::vector<std::string> SplitExtraPorts(std::string_view list) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos < list.size()) {
    std::size_t end = list.find_first_of(":;", pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) names.emplace_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

void ListSerialPorts(std::vector<std::string>& list) {
  std::vector<std::string> names;
  AddRegisteredPorts(names);
  AddExtraPorts(names);
  Detail::SortPortNames(names);
  list.swap(names);
}

// Windows has no sysfs; the port map is the only source.
void SetSysfsRoot(const std::string&) {}

}  // namespace CPort
