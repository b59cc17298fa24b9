#include "escapes.h"

#include <cctype>

#include "exit_codes.h"

namespace KelvatPort {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

char SimpleEscape(char c) {
  switch (c) {
    case '\\':
      return '\\';
    case '"':
      return '"';
    case '\'':
      return '\'';
    case '?':
      return '?';
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'e':
      return '\x1b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return 0;
  }
}

}  // namespace

std::string ParseEscapes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) throw UsageError("a backslash ends the data; write \\\\ for a backslash");
    const char c = text[i];
    if (const char simple = SimpleEscape(c)) {
      out += simple;
    } else if (c == 'x') {
      int value = 0, digits = 0;
      while (digits < 2 && i + 1 < text.size() && HexValue(text[i + 1]) >= 0)
        value = value * 16 + HexValue(text[++i]), ++digits;
      if (digits == 0) throw UsageError("\\x needs one or two hex digits");
      out += static_cast<char>(value);
    } else if (IsOctal(c)) {
      int value = c - '0';
      for (int digits = 1; digits < 3 && i + 1 < text.size() && IsOctal(text[i + 1]); ++digits)
        value = value * 8 + (text[++i] - '0');
      if (value > 255) throw UsageError("octal escape above \\377");
      out += static_cast<char>(value);
    } else {
      throw UsageError(std::string("unknown escape \\") + c);
    }
  }
  return out;
}

std::string ParseHex(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  auto isSeparator = [](char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == ':' || c == ',' || c == '-';
  };
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    std::string_view group = text.substr(i, end - i);
    if (group.size() > 2 && group[0] == '0' && (group[1] == 'x' || group[1] == 'X')) group.remove_prefix(2);
    if (group.size() % 2 != 0)
      throw UsageError("hex group '" + std::string(text.substr(i, end - i)) + "' has an odd number of digits");
    for (std::size_t k = 0; k < group.size(); k += 2) {
      const int high = HexValue(group[k]), low = HexValue(group[k + 1]);
      if (high < 0 || low < 0) throw UsageError("'" + std::string(text.substr(i, end - i)) + "' is not hex");
      out += static_cast<char>(high * 16 + low);
    }
    i = end;
  }
  return out;
}

}  // namespace KelvatPort
