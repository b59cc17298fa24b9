// The text form of every port setting, and the conversions both ways. None of
// these functions fails: a text that matches no entry yields a fixed fallback.
// Matching folds only the ASCII letters a-z, whatever the user's locale.
// The texts are fixed English words, never translated; stored settings and
// the selectors use them:
//   baud rate     "Custom", "110", "300", ... "115200", "128000", "256000"
//   stop bits     "1", "1.5", "2"           data bits  "5", "6", "7", "8"
//   parity        "None", "Odd", "Even", "Mark", "Space"
//   flow control  "Hardware", "Software", "None", "Custom"
//   DTR control   "Disable", "Enable", "Handshake"
//   RTS control   "Disable", "Enable", "Handshake", "Toggle"
// A value outside its enumeration gives the empty text.
//
// Pure functions; any thread.
#pragma once

#include <string>

#include "CPort/ComTypes.h"

namespace CPort {

std::string BaudRateText(TBaudRate value);
TBaudRate ParseBaudRate(const std::string& text);  // fallback br9600
std::string StopBitsText(TStopBits value);
TStopBits ParseStopBits(const std::string& text);  // fallback sbOneStopBit
std::string DataBitsText(TDataBits value);
TDataBits ParseDataBits(const std::string& text);  // fallback dbEight
std::string ParityText(TParityBits value);
TParityBits ParseParity(const std::string& text);  // fallback prNone
std::string FlowControlText(TFlowControl value);
TFlowControl ParseFlowControl(const std::string& text);  // fallback fcCustom
std::string DTRControlText(TDTRFlowControl value);
TDTRFlowControl ParseDTRControl(const std::string& text);  // fallback dtrDisable
std::string RTSControlText(TRTSFlowControl value);
TRTSFlowControl ParseRTSControl(const std::string& text);  // fallback rtsDisable

// "Yes" / "No"; only "YES" in any ASCII case parses as true.
std::string YesNoText(bool value);
bool ParseYesNo(const std::string& text);

// Codes 33..127 as themselves, every other code as "#" and its decimal value.
std::string CharText(char value);
// "#" followed by an integer (decimal, or hex after $, x, X, 0x, 0X; optional
// leading blanks and sign) gives its low 8 bits; a number that cannot be
// converted gives character 0; any other text gives its first character.
char ParseCharText(const std::string& text);

}  // namespace CPort
