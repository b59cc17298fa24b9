// What `term` shows (and logs) of the device's bytes and of the line events
// and notes, in text or hex, with or without timestamps. Pure: the time
// stamp comes from the caller, so the output can be checked byte for byte.
//
// Text: the bytes as they came. Hex: "48 65 6c", 16 bytes a line. Notes and
// events: "[what]" on a line of their own. A timestamp ("HH:MM:SS.mmm ")
// begins every line when they are on.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace KelvatPort {

class TermOutput {
 public:
  // `lineEnd` ends the lines this object makes itself ("\r\n" on a raw
  // console); the device's own bytes pass as they are.
  TermOutput(std::string lineEnd, std::function<std::string()> stamp);

  std::string Data(std::string_view bytes);
  std::string Note(const std::string& what);
  // A line being typed: redraws the current line as `shown` (moving to a new
  // line first when the device's output left one begun).
  std::string Prompt(const std::string& shown);

  // Each returns what to show for the switch (the end of a begun line).
  std::string SetHex(bool on);
  void SetTimestamps(bool on) { timestamps_ = on; }
  bool Hex() const { return hex_; }
  bool Timestamps() const { return timestamps_; }
  const std::string& LineEnd() const { return lineEnd_; }

 private:
  std::string LineStart();

  std::string lineEnd_;
  std::function<std::string()> stamp_;
  bool hex_ = false;
  bool timestamps_ = false;
  bool atLineStart_ = true;
  int hexColumn_ = 0;  // bytes on the current hex line
  bool promptShown_ = false;  // the current line is a prompt
};

}  // namespace KelvatPort
