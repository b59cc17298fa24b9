#include "byte_maps.h"

#include <algorithm>
#include <cctype>

#include "exit_codes.h"

namespace KelvatPort {

namespace {

struct Named {
  const char* name;
  const char* bytes;
};
const Named kNames[] = {{"cr", "\r"}, {"lf", "\n"}, {"crlf", "\r\n"}, {"bs", "\b"}, {"del", "\x7f"}};

struct Alias {
  const char* name;
  const char* rule;
};
const Alias kAliases[] = {{"icrnl", "in:cr=lf"},       {"igncr", "in:cr="},  {"inlcr", "in:lf=cr"},
                          {"inlcrnl", "in:lf=crlf"},   {"ocrnl", "out:cr=lf"}, {"onlcrnl", "out:lf=crlf"},
                          {"odelbs", "out:del=bs"}};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool BytesOf(const std::string& name, std::string& bytes) {
  for (const Named& n : kNames)
    if (name == n.name) {
      bytes = n.bytes;
      return true;
    }
  return false;
}

void AddRule(ByteMaps& maps, const std::string& given) {
  std::string rule = Lower(given);
  for (const Alias& alias : kAliases)
    if (rule == alias.name) rule = alias.rule;
  const std::string why = "--map '" + given + "' is not a rule such as out:cr=crlf or in:lf=crlf";
  const std::size_t colon = rule.find(':');
  const std::size_t equals = rule.find('=');
  if (colon == std::string::npos || equals == std::string::npos || equals < colon) throw UsageError(why);
  const std::string direction = rule.substr(0, colon);
  std::string from, to;
  if (!BytesOf(rule.substr(colon + 1, equals - colon - 1), from)) throw UsageError(why);
  const std::string right = rule.substr(equals + 1);
  if (!right.empty() && !BytesOf(right, to)) throw UsageError(why);
  if (direction == "in") maps.fromDevice.Add(from, to);
  else if (direction == "out") maps.toDevice.Add(from, to);
  else throw UsageError(why);
}

}  // namespace

void ByteMap::Add(const std::string& from, const std::string& to) {
  for (const auto& rule : rules_)
    if (rule.first == from) throw UsageError("--map gives two rules for the same bytes in one direction");
  rules_.emplace_back(from, to);
  std::stable_sort(rules_.begin(), rules_.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

std::string ByteMap::Apply(std::string_view bytes) {
  if (rules_.empty()) return std::string(bytes);
  std::string input;
  if (holdsCr_) input = "\r";
  holdsCr_ = false;
  input.append(bytes);
  const bool crLfRule = std::any_of(rules_.begin(), rules_.end(), [](const auto& r) { return r.first == "\r\n"; });
  std::string out;
  std::size_t i = 0;
  while (i < input.size()) {
    if (crLfRule && i + 1 == input.size() && input[i] == '\r' && !bytes.empty()) {
      holdsCr_ = true;  // the LF may come with the next bytes
      break;
    }
    bool mapped = false;
    for (const auto& [from, to] : rules_) {
      if (input.compare(i, from.size(), from) == 0) {
        out += to;
        i += from.size();
        mapped = true;
        break;
      }
    }
    if (!mapped) out += input[i++];
  }
  return out;
}

std::string ByteMap::Flush() {
  if (!holdsCr_) return {};
  return Apply(std::string_view());
}

ByteMaps ParseByteMaps(std::string_view list) {
  ByteMaps maps;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string rule(list.substr(start, comma - start));
    if (!rule.empty()) AddRule(maps, rule);
    start = comma + 1;
  }
  return maps;
}

std::string ByteMapsHelp() {
  return "  --map RULES    comma-separated rules DIRECTION:FROM=TO; DIRECTION is out\n"
         "                 (keyboard to device) or in (device to screen), FROM and TO\n"
         "                 are cr, lf, crlf, bs or del, TO may be empty (dropped):\n"
         "                 out:cr=crlf, in:lf=crlf, in:crlf=lf, out:del=bs, in:cr=.\n"
         "                 tio's names work too: ICRNL IGNCR INLCR INLCRNL OCRNL\n"
         "                 ONLCRNL ODELBS\n";
}

}  // namespace KelvatPort
