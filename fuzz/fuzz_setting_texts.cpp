// The setting-text parsers and the integer syntax on arbitrary text: nothing
// may crash, and every result must give its own text back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CPort/IntegerText.h"
#include "CPort/SettingTexts.h"

using namespace CPort;

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  Check(ParseBaudRate(BaudRateText(ParseBaudRate(text))) == ParseBaudRate(text));
  Check(ParseStopBits(StopBitsText(ParseStopBits(text))) == ParseStopBits(text));
  Check(ParseDataBits(DataBitsText(ParseDataBits(text))) == ParseDataBits(text));
  Check(ParseParity(ParityText(ParseParity(text))) == ParseParity(text));
  Check(ParseFlowControl(FlowControlText(ParseFlowControl(text))) == ParseFlowControl(text));
  Check(ParseDTRControl(DTRControlText(ParseDTRControl(text))) == ParseDTRControl(text));
  Check(ParseRTSControl(RTSControlText(ParseRTSControl(text))) == ParseRTSControl(text));
  Check(ParseYesNo(YesNoText(ParseYesNo(text))) == ParseYesNo(text));

  const char c = ParseCharText(text);
  Check(ParseCharText(CharText(c)) == c);

  if (const auto number = ParseInt32(text)) Check(ParseInt32(std::to_string(*number)) == number);
  return 0;
}
