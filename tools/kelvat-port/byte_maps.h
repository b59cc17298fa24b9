// The line-ending and key maps of `term` (--map): rules such as "CR becomes
// CR LF", one set for what goes to the device and one for what comes from it.
//
//   out:cr=crlf   a CR typed goes to the device as CR LF
//   in:lf=crlf    an LF from the device shows as CR LF
//   in:crlf=lf    CR LF from the device shows as LF
//   out:del=bs    Delete (Backspace on most keyboards) goes as BS
//   in:cr=        CRs from the device are dropped
//
// Names: cr, lf, crlf, bs, del; the right side may be empty. The names of
// tio's maps (ICRNL, IGNCR, INLCR, INLCRNL, OCRNL, ONLCRNL, ODELBS) are taken
// too. Pure.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace KelvatPort {

class ByteMap {
 public:
  // Raises UsageError when `from` has a rule already.
  void Add(const std::string& from, const std::string& to);
  bool Empty() const { return rules_.empty(); }

  // The bytes as mapped. A CR at the end that a CR LF rule may still claim
  // is held back until the next bytes or Flush.
  std::string Apply(std::string_view bytes);
  std::string Flush();

 private:
  std::vector<std::pair<std::string, std::string>> rules_;  // longest first
  bool holdsCr_ = false;
};

struct ByteMaps {
  ByteMap toDevice;    // out:
  ByteMap fromDevice;  // in:
};

// A comma-separated list of rules. Raises UsageError naming the rule that is
// wrong.
ByteMaps ParseByteMaps(std::string_view list);

// The help text for --map (lines of two-space-indented text).
std::string ByteMapsHelp();

}  // namespace KelvatPort
