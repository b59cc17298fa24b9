#include "line_options.h"

#include <algorithm>
#include <limits>

#include "CPort/SettingTexts.h"
#include "exit_codes.h"

namespace KelvatPort {

namespace {

using namespace CPort;

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// One option's table: the values it accepts (in table order) and the
// library's conversions.
template <typename Enum>
struct Choice {
  const char* option;
  std::vector<Enum> accepted;
  std::string (*text)(Enum);
  Enum (*parse)(const std::string&);

  std::string AcceptedTexts() const {
    std::string all;
    for (Enum value : accepted) all += (all.empty() ? "" : ", ") + text(value);
    return all;
  }
  // The library's parser, kept only when its answer is the text given (its
  // fallback answers anything).
  std::optional<Enum> Parse(const std::string& given) const {
    const Enum value = parse(given);
    for (Enum ok : accepted)
      if (ok == value && SameIgnoringAsciiCase(text(value), given)) return value;
    return std::nullopt;
  }
  Enum ParseOrFail(const std::string& given) const {
    if (auto value = Parse(given)) return *value;
    throw UsageError("--" + std::string(option) + " '" + given + "' is not one of " + AcceptedTexts());
  }
};

template <typename Enum>
std::vector<Enum> Range(int first, int last) {
  std::vector<Enum> values;
  for (int i = first; i <= last; ++i) values.push_back(static_cast<Enum>(i));
  return values;
}

// "Custom" is left out of both tables where it stands: a custom rate is given
// as its number, and the custom flow mode means "leave the single flow
// settings as they are", which says nothing on a command line.
const Choice<TBaudRate> kBaud{"baud", Range<TBaudRate>(br110, br256000), BaudRateText, ParseBaudRate};
const Choice<TDataBits> kData{"data", Range<TDataBits>(dbFive, dbEight), DataBitsText, ParseDataBits};
const Choice<TParityBits> kParity{"parity", Range<TParityBits>(prNone, prSpace), ParityText, ParseParity};
const Choice<TStopBits> kStop{"stop", Range<TStopBits>(sbOneStopBit, sbTwoStopBits), StopBitsText, ParseStopBits};
const Choice<TFlowControl> kFlow{"flow", {fcNone, fcHardware, fcSoftware}, FlowControlText, ParseFlowControl};

// A baud rate that is in no table: plain decimal digits, 1 to INT32_MAX.
std::optional<std::int32_t> CustomRate(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::vector<OptionSpec> LineOptionSpecs() {
  return {{"baud", true}, {"data", true}, {"parity", true}, {"stop", true}, {"flow", true}};
}

std::string LineOptionsHelp() {
  const TComPort defaults;
  return "Line settings (default: " + LineSettingsSummary(defaults) +
         "):\n"
         "  --baud RATE     " +
         kBaud.AcceptedTexts() +
         ", or any other rate in bits/s\n"
         "  --data BITS     " +
         kData.AcceptedTexts() +
         "\n"
         "  --parity KIND   " +
         kParity.AcceptedTexts() +
         "\n"
         "  --stop BITS     " +
         kStop.AcceptedTexts() +
         "\n"
         "  --flow KIND     " +
         kFlow.AcceptedTexts() +
         " (Hardware: RTS/CTS, Software: XON/XOFF)\n"
         "  Texts match in any letter case.\n";
}

LineOptions ParseLineOptions(const Arguments& arguments) {
  LineOptions options;
  if (auto text = arguments.Value("baud")) {
    if (auto fixed = kBaud.Parse(*text)) {
      options.baudRate = *fixed;
    } else if (auto custom = CustomRate(*text)) {
      options.baudRate = brCustom;
      options.customBaudRate = *custom;
    } else {
      throw UsageError("--baud '" + *text + "' is not a rate in bits/s (for example 9600, 115200 or 230400)");
    }
  }
  if (auto text = arguments.Value("data")) options.dataBits = kData.ParseOrFail(*text);
  if (auto text = arguments.Value("parity")) options.parity = kParity.ParseOrFail(*text);
  if (auto text = arguments.Value("stop")) options.stopBits = kStop.ParseOrFail(*text);
  if (auto text = arguments.Value("flow")) options.flowControl = kFlow.ParseOrFail(*text);
  return options;
}

void ApplyLineOptions(const LineOptions& options, TCustomComPort& port) {
  if (options.baudRate) {
    if (*options.baudRate == brCustom) port.SetCustomBaudRate(options.customBaudRate);
    port.SetBaudRate(*options.baudRate);
  }
  if (options.dataBits) port.SetDataBits(*options.dataBits);
  if (options.parity) port.Parity().SetBits(*options.parity);
  if (options.stopBits) port.SetStopBits(*options.stopBits);
  if (options.flowControl) port.FlowControl().SetFlowControl(*options.flowControl);
  // A device refuses these pairs with a bare "Invalid argument"; say why
  // before anything is opened. (A pair that both come from a settings store
  // is the store's business and left to the device.)
  if (!options.stopBits && !options.dataBits) return;
  if (port.StopBits() == sbOne5StopBits && port.DataBits() != dbFive)
    throw UsageError("--stop 1.5: 1.5 stop bits need 5 data bits (--data 5)");
  if (port.StopBits() == sbTwoStopBits && port.DataBits() == dbFive)
    throw UsageError("--stop 2: 2 stop bits need 6, 7 or 8 data bits (with --data 5, use --stop 1.5)");
}

void LimitWriteTime(TCustomComPort& port, std::int64_t bytes, std::int32_t timeoutMs) {
  // The multiplier counts whole milliseconds per byte, far too coarse at
  // fast rates (11 us a byte at 1 Mbit/s would count as 1 ms): the line's
  // time goes into the constant instead, computed for the whole write.
  port.Timeouts().SetWriteTotalMultiplier(0);
  if (timeoutMs == 0) {
    port.Timeouts().SetWriteTotalConstant(0);
    return;
  }
  const std::int64_t rate = port.BaudRate() == brCustom ? port.CustomBaudRate() : kBaudRateValues[port.BaudRate()];
  const std::int64_t lineMs = rate > 0 ? (std::max<std::int64_t>(bytes, 0) * 11000 + rate - 1) / rate : 0;
  const std::int64_t total = std::min<std::int64_t>(lineMs + timeoutMs, std::numeric_limits<std::int32_t>::max());
  port.Timeouts().SetWriteTotalConstant(static_cast<std::int32_t>(total));
}

std::string LineSettingsSummary(const TCustomComPort& port) {
  const std::string rate =
      port.BaudRate() == brCustom ? std::to_string(port.CustomBaudRate()) : BaudRateText(port.BaudRate());
  return rate + " " + DataBitsText(port.DataBits()) + " " + ParityText(port.Parity().Bits()) + " " +
         StopBitsText(port.StopBits()) + ", flow " + FlowControlText(port.FlowControl().FlowControl());
}

}  // namespace KelvatPort
