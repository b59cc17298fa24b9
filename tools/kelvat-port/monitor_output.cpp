#include "monitor_output.h"

#include <time.h>

#include <cstdio>

namespace KelvatPort {

namespace {

constexpr std::size_t kHexBytesPerLine = 16;

std::string HexLine(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex, printable;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (!hex.empty()) hex += ' ';
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
    printable += (byte >= 0x20 && byte < 0x7f) ? c : '.';
  }
  hex.resize(kHexBytesPerLine * 3 - 1, ' ');
  return hex + "  " + printable + "\n";
}

}  // namespace

MonitorOutput::MonitorOutput(MonitorMode mode, std::function<std::string()> stamp)
    : mode_(mode), stamp_(std::move(stamp)) {}

std::string MonitorOutput::Stamp() const { return stamp_ ? stamp_() + " " : std::string(); }

std::string MonitorOutput::Data(std::string_view bytes) {
  std::string out;
  if (mode_ == MonitorMode::Hex) {
    for (std::size_t i = 0; i < bytes.size(); i += kHexBytesPerLine)
      out += Stamp() + HexLine(bytes.substr(i, kHexBytesPerLine));
    return out;
  }
  if (!stamp_) {
    if (!bytes.empty()) atLineStart_ = bytes.back() == '\n';
    return std::string(bytes);
  }
  const std::string stamp = Stamp();  // one time for bytes that came together
  for (const char c : bytes) {
    if (atLineStart_) out += stamp;
    out += c;
    atLineStart_ = c == '\n';
  }
  return out;
}

std::string MonitorOutput::Event(const std::string& what) {
  std::string out = atLineStart_ ? "" : "\n";
  atLineStart_ = true;
  return out + Stamp() + "[" + what + "]\n";
}

std::string LineErrorsText(CPort::TComErrors errors) {
  static const char* const names[] = {"frame", "parity", "overrun",        "break",
                                      "I/O",   "mode",   "input overflow", "output full"};
  std::string text;
  for (int i = 0; i < 8; ++i)
    if (errors.Contains(static_cast<CPort::TComError>(i))) text += (text.empty() ? "" : ", ") + std::string(names[i]);
  return text;
}

std::string TimeOfDayStamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                now.tv_nsec / 1000000);
  return text;
}

}  // namespace KelvatPort
