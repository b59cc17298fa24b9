// EComPort::Hint on Windows: advice for the two common failures of opening a
// port, a port that another program holds (error 5) and a name that does not
// exist (error 2, with the ports that do).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/PortList.h"
#include "CPort/i18n_p.h"
#include "win_comm.h"

namespace CPort {

namespace {

// Replaces each "{name}" of a translated pattern with its value; anything
// else, unknown names included, stays as it is (a translation is data).
std::string Filled(const char* msgid, const std::vector<std::pair<std::string, std::string>>& values) {
  const std::string pattern = I18n::Translate(msgid);
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] == '{') {
      const std::size_t close = pattern.find('}', i + 1);
      if (close != std::string::npos) {
        const std::string name = pattern.substr(i + 1, close - i - 1);
        const auto it = std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == name; });
        if (it != values.end()) {
          out += it->second;
          i = close + 1;
          continue;
        }
      }
    }
    out += pattern[i++];
  }
  return out;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

// "\\.\COM3" is shown as the user knows it: "COM3".
std::string Shown(const std::string& device) {
  return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

std::string HintFor(const std::string& device, int error) {
  const std::string name = Shown(device);
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return Filled("{device} is held by another program; close it there, then try again.", {{"device", name}});
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: {
      std::vector<std::string> ports;
      try {
        ListSerialPorts(ports);
      } catch (const EComPort&) {
        return {};  // no list to offer
      }
      if (ports.empty())
        return Filled("There is no port {device}, and no serial ports were found.", {{"device", name}});
      return Filled("There is no port {device}. Ports present: {ports}.", {{"device", name}, {"ports", Joined(ports)}});
    }
    default:
      return {};
  }
}

}  // namespace

std::string EComPort::Hint() const {
  if (!device_ || device_->empty()) return {};
  try {
    return HintFor(*device_, osErrorCode_);
  } catch (...) {
    // Advice is an extra; failing to find it must not hide the error itself.
    return {};
  }
}

}  // namespace CPort
