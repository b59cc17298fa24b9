#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <optional>
#include <string>

#include "CPort/IntegerText.h"
#include "CPort/SettingTexts.h"

using namespace CPort;

namespace {

template <typename Enum>
struct ParseCase {
  std::string text;
  Enum expected;
};

TEST(SettingTexts, EveryEnumerationTextParsesBackToItsValue) {
  for (int v = brCustom; v <= br256000; ++v)
    EXPECT_EQ(ParseBaudRate(BaudRateText(static_cast<TBaudRate>(v))), v);
  for (int v = sbOneStopBit; v <= sbTwoStopBits; ++v)
    EXPECT_EQ(ParseStopBits(StopBitsText(static_cast<TStopBits>(v))), v);
  for (int v = dbFive; v <= dbEight; ++v) EXPECT_EQ(ParseDataBits(DataBitsText(static_cast<TDataBits>(v))), v);
  for (int v = prNone; v <= prSpace; ++v) EXPECT_EQ(ParseParity(ParityText(static_cast<TParityBits>(v))), v);
  for (int v = fcHardware; v <= fcCustom; ++v)
    EXPECT_EQ(ParseFlowControl(FlowControlText(static_cast<TFlowControl>(v))), v);
  for (int v = dtrDisable; v <= dtrHandshake; ++v)
    EXPECT_EQ(ParseDTRControl(DTRControlText(static_cast<TDTRFlowControl>(v))), v);
  for (int v = rtsDisable; v <= rtsToggle; ++v)
    EXPECT_EQ(ParseRTSControl(RTSControlText(static_cast<TRTSFlowControl>(v))), v);
}

TEST(SettingTexts, TextsAreExact) {
  EXPECT_EQ(BaudRateText(brCustom), "Custom");
  EXPECT_EQ(BaudRateText(br115200), "115200");
  EXPECT_EQ(StopBitsText(sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsText(dbFive), "5");
  EXPECT_EQ(ParityText(prSpace), "Space");
  EXPECT_EQ(FlowControlText(fcNone), "None");
  EXPECT_EQ(DTRControlText(dtrHandshake), "Handshake");
  EXPECT_EQ(RTSControlText(rtsToggle), "Toggle");
  EXPECT_EQ(YesNoText(true), "Yes");
  EXPECT_EQ(YesNoText(false), "No");
}

TEST(SettingTexts, BaudRateMatchesWholeTextAndFallsBack) {
  const ParseCase<TBaudRate> cases[] = {
      {"Custom", brCustom}, {"custom", brCustom}, {"CUSTOM", brCustom}, {"115200", br115200},
      {"7200", br9600},     {"", br9600},         {" 9600", br9600},    {"9600 ", br9600},
      {"9600.0", br9600},   {"110", br110},       {"Custo", br9600},    {"Customs", br9600},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseBaudRate(c.text), c.expected) << "'" << c.text << "'";
}

TEST(SettingTexts, EachParserConsultsOnlyItsOwnTable) {
  EXPECT_EQ(ParseStopBits("1.5"), sbOne5StopBits);
  EXPECT_EQ(ParseStopBits("1,5"), sbOneStopBit);
  EXPECT_EQ(ParseDataBits("9"), dbEight);
  EXPECT_EQ(ParseDataBits("5"), dbFive);
  EXPECT_EQ(ParseParity("space"), prSpace);
  EXPECT_EQ(ParseParity("Custom"), prNone);
  EXPECT_EQ(ParseFlowControl("None"), fcNone);
  EXPECT_EQ(ParseFlowControl(""), fcCustom);
  EXPECT_EQ(ParseFlowControl("xonxoff"), fcCustom);
  EXPECT_EQ(ParseFlowControl("hardware"), fcHardware);
  EXPECT_EQ(ParseDTRControl("Toggle"), dtrDisable);
  EXPECT_EQ(ParseDTRControl("enable"), dtrEnable);
  EXPECT_EQ(ParseRTSControl("toggle"), rtsToggle);
  EXPECT_EQ(ParseRTSControl("bogus"), rtsDisable);
}

TEST(SettingTexts, OnlyAsciiLettersFold) {
  // A Latin-1 or UTF-8 letter above 127 is not an ASCII letter and must not
  // be folded into one.
  EXPECT_EQ(ParseParity("Od\xE4"), prNone);
  EXPECT_EQ(ParseParity("\xC3\x96" "dd"), prNone);
  EXPECT_EQ(ParseRTSControl("D\xC4\xB1sable"), rtsDisable);  // dotless i: no match, fallback
}

// A Turkish locale upper-cases 'i' to a dotted capital; matching must not
// care. Only runs where such a locale is installed.
TEST(SettingTexts, FoldingIgnoresTheUsersLocale) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  bool found = false;
  for (const char* name : {"tr_TR.UTF-8", "tr_TR.utf8", "tr_TR", "az_AZ.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      found = true;
      break;
    }
  }
  const bool disable = ParseDTRControl("disable") == dtrDisable && ParseRTSControl("DISABLE") == rtsDisable;
  const bool enable = ParseDTRControl("ENABLE") == dtrEnable && ParseRTSControl("enable") == rtsEnable;
  const bool yes = ParseYesNo("yes") && ParseFlowControl("hardware") == fcHardware;
  std::setlocale(LC_ALL, previous.c_str());
  if (!found) GTEST_SKIP() << "no Turkish locale installed";
  EXPECT_TRUE(disable);
  EXPECT_TRUE(enable);
  EXPECT_TRUE(yes);
}

TEST(SettingTexts, YesNo) {
  const std::pair<std::string, bool> cases[] = {
      {"Yes", true}, {"yEs", true},  {"YES", true},   {"No", false}, {"", false},
      {"true", false}, {"1", false}, {"Y", false},    {" Yes", false}, {"Yes ", false},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseYesNo(text), expected) << "'" << text << "'";
}

TEST(SettingTexts, CharTextWritesPrintablesAsThemselves) {
  const std::pair<int, std::string> cases[] = {
      {0, "#0"},   {13, "#13"}, {17, "#17"},  {19, "#19"},   {32, "#32"},   {33, "!"},
      {65, "A"},   {126, "~"},  {127, "\x7F"}, {128, "#128"}, {255, "#255"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(CharText(static_cast<char>(code)), text) << code;
}

TEST(SettingTexts, ParseCharTextIntegerSyntax) {
  const std::pair<std::string, int> cases[] = {
      {"", 0},
      {"A", 'A'},
      {"AB", 'A'},
      {"#", '#'},
      {"#17", 17},
      {"#65", 65},
      {"#$41", 65},
      {"#x41", 65},
      {"#X41", 65},
      {"#0x41", 65},
      {"#0X41", 65},
      {"# 65", 65},
      {"#  +65", 65},
      {"#+65", 65},
      {"#-1", 255},
      {"#-$1", 255},
      {"#256", 0},
      {"#321", 65},
      {"#0065", 65},
      {"#2147483647", 255},
      {"#-2147483648", 0},
      {"#2147483648", 0},            // beyond signed 32-bit decimal
      {"#99999999999999999999", 0},  // far beyond: no wrap-around
      {"#$FFFFFFFF", 255},
      {"#$100000041", 0},  // beyond 32 bits
      {"#abc", 0},
      {"#65 ", 0},  // nothing may follow the digits
      {"#6 5", 0},
      {"#$", 0},
      {"#0x", 0},
      {"#-", 0},
      {"# ", 0},
      {"#$G1", 0},
      {"#1e2", 0},
      {"#--1", 0},
  };
  for (const auto& [text, code] : cases)
    EXPECT_EQ(static_cast<unsigned char>(ParseCharText(text)), code) << "'" << text << "'";
}

// The whole values, which character texts only show by their low 8 bits.
TEST(IntegerText, ParsesSigned32BitWholeNumbersOrNothing) {
  const struct {
    const char* text;
    std::optional<std::int32_t> value;
  } rows[] = {{"0", 0},          {"1000", 1000},      {"  42", 42},         {"\t42", 42},
              {"-7", -7},        {"+8", 8},           {"$1F", 31},          {"0x10", 16},
              {"x10", 16},       {"$FFFFFFFF", -1},   {"2147483647", 2147483647},
              {"-2147483648", INT32_MIN},             {"2147483648", std::nullopt},
              {"", std::nullopt}, {"-", std::nullopt}, {"12 ", std::nullopt}, {"1e3", std::nullopt},
              {"$", std::nullopt}, {"0x", std::nullopt}, {"\xEF\xBC\x91", std::nullopt} /* fullwidth 1 */};
  for (const auto& row : rows) EXPECT_EQ(ParseInt32(row.text), row.value) << "'" << row.text << "'";
}

TEST(SettingTexts, EveryCharacterSurvivesItsText) {
  for (int code = 0; code < 256; ++code) {
    const char c = static_cast<char>(code);
    EXPECT_EQ(ParseCharText(CharText(c)), c) << code;
  }
}

}  // namespace
