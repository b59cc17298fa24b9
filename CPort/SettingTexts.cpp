#include "CPort/SettingTexts.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "CPort/IntegerText.h"

namespace CPort {

namespace {

constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDTRControlTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRTSControlTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// Folds by code, not through toupper: the texts are fixed ASCII, and a locale
// with its own case rules (a Turkish one maps 'i' to a dotted capital) must
// not change what matches.
char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualFolded(const std::string& text, const char* entry) {
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    if (entry[i] == '\0' || FoldAscii(text[i]) != FoldAscii(entry[i])) return false;
  }
  return entry[i] == '\0';
}

template <typename Enum, std::size_t N>
Enum Lookup(const std::array<const char*, N>& table, const std::string& text, Enum fallback) {
  for (std::size_t i = 0; i < N; ++i) {
    if (EqualFolded(text, table[i])) return static_cast<Enum>(i);
  }
  return fallback;
}

template <std::size_t N>
std::string TextOf(const std::array<const char*, N>& table, unsigned ordinal) {
  return ordinal < N ? table[ordinal] : "";
}

}  // namespace

std::string BaudRateText(TBaudRate value) { return TextOf(kBaudRateTexts, value); }
TBaudRate ParseBaudRate(const std::string& text) { return Lookup(kBaudRateTexts, text, br9600); }
std::string StopBitsText(TStopBits value) { return TextOf(kStopBitsTexts, value); }
TStopBits ParseStopBits(const std::string& text) { return Lookup(kStopBitsTexts, text, sbOneStopBit); }
std::string DataBitsText(TDataBits value) { return TextOf(kDataBitsTexts, value); }
TDataBits ParseDataBits(const std::string& text) { return Lookup(kDataBitsTexts, text, dbEight); }
std::string ParityText(TParityBits value) { return TextOf(kParityTexts, value); }
TParityBits ParseParity(const std::string& text) { return Lookup(kParityTexts, text, prNone); }
std::string FlowControlText(TFlowControl value) { return TextOf(kFlowControlTexts, value); }
TFlowControl ParseFlowControl(const std::string& text) { return Lookup(kFlowControlTexts, text, fcCustom); }
std::string DTRControlText(TDTRFlowControl value) { return TextOf(kDTRControlTexts, value); }
TDTRFlowControl ParseDTRControl(const std::string& text) { return Lookup(kDTRControlTexts, text, dtrDisable); }
std::string RTSControlText(TRTSFlowControl value) { return TextOf(kRTSControlTexts, value); }
TRTSFlowControl ParseRTSControl(const std::string& text) { return Lookup(kRTSControlTexts, text, rtsDisable); }

std::string YesNoText(bool value) { return value ? "Yes" : "No"; }
bool ParseYesNo(const std::string& text) { return EqualFolded(text, "YES"); }

std::string CharText(char value) {
  const auto code = static_cast<unsigned char>(value);
  if (code >= 33 && code <= 127) return std::string(1, value);
  return "#" + std::to_string(code);
}

char ParseCharText(const std::string& text) {
  if (text.empty()) return '\0';
  if (text[0] != '#' || text.size() == 1) return text[0];
  const auto number = ParseInt32(std::string_view(text).substr(1));
  if (!number) return '\0';
  return static_cast<char>(static_cast<std::uint32_t>(*number) & 0xFFu);
}

}  // namespace CPort
