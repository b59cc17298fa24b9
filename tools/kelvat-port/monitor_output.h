// What `monitor` prints for received bytes and line events. Pure: the time
// stamp comes from the caller, so the output can be checked byte for byte.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "CPort/ComTypes.h"

namespace KelvatPort {

enum class MonitorMode {
  Text,  // the bytes as they came; events on lines of their own
  Hex,   // 16 bytes a line: hex, then the printable ones
};

class MonitorOutput {
 public:
  // `stamp` gives the time stamp for "now"; an empty function: no stamps.
  MonitorOutput(MonitorMode mode, std::function<std::string()> stamp);

  // The text for bytes that arrived together.
  std::string Data(std::string_view bytes);
  // The text for a line event such as "CTS on" or "break".
  std::string Event(const std::string& what);

 private:
  std::string Stamp() const;

  MonitorMode mode_;
  std::function<std::string()> stamp_;
  bool atLineStart_ = true;  // text mode: the next byte begins a line
};

// "frame, parity" for a set of line errors.
std::string LineErrorsText(CPort::TComErrors errors);

// The local time of day as "HH:MM:SS.mmm".
std::string TimeOfDayStamp();

}  // namespace KelvatPort
