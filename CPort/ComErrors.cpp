#include "CPort/ComErrors.h"

#include <string_view>

#include "CPort/i18n_p.h"

namespace CPort {

const std::array<const char*, PortErr::Count + 1> kPortErrorTexts = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

const char* const kOsErrorSuffix = " (win error code: %d)";

std::array<std::string, PortErr::Count + 1> PortErrorMessages;

void RefreshPortErrorMessages() {
  I18n::Initialise();
  for (int code = 1; code <= PortErr::Count; ++code) PortErrorMessages[code] = I18n::Translate(kPortErrorTexts[code]);
}

namespace {

// Fills the table when the library is loaded, before any port exists.
const bool kMessagesLoaded = (RefreshPortErrorMessages(), true);

const std::string& TableText(int code) {
  static const std::string unknown;
  return (code >= 1 && code <= PortErr::Count) ? PortErrorMessages[code] : unknown;
}

// Expands the translated suffix: "%d" becomes the code and "%%" a single
// percent sign. Any other '%' is kept as text: a translation is data, and a
// stray directive in it must never read an argument that is not there.
std::string ExpandSuffix(std::string_view pattern, int osErrorCode) {
  std::string out;
  out.reserve(pattern.size() + 12);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == 'd') {
        out += std::to_string(osErrorCode);
        ++i;
        continue;
      }
      if (pattern[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += pattern[i];
  }
  return out;
}

}  // namespace

EComPort::EComPort(int portErrorCode, int osErrorCode)
    : std::runtime_error(TableText(portErrorCode) + ExpandSuffix(I18n::Translate(kOsErrorSuffix), osErrorCode)),
      osErrorCode_(osErrorCode),
      portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode)
    : std::runtime_error(TableText(portErrorCode)), osErrorCode_(-1), portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode, int osErrorCode, std::string device) : EComPort(portErrorCode, osErrorCode) {
  if (!device.empty()) device_ = std::make_shared<const std::string>(std::move(device));
}

const std::string& EComPort::Device() const noexcept {
  static const std::string none;
  return device_ ? *device_ : none;
}

// OsErrorText is the system's own text: see platform/<side>/os_error_text.cpp.

}  // namespace CPort
