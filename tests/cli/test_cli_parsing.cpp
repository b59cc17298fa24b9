// The pure parts of kelvat-port: what a user types becomes exactly the
// bytes and settings meant, and anything else is refused with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPort/ComPort.h"
#include "arguments.h"
#include "escapes.h"
#include "exit_codes.h"
#include "line_options.h"
#include "monitor_output.h"

using namespace KelvatPort;
using namespace std::string_literals;

namespace {

// The result of a parser, or "error: " and the start of its message.
template <typename Parse>
std::string Outcome(Parse parse) {
  try {
    return parse();
  } catch (const UsageError& e) {
    return "error: "s + e.what();
  }
}

bool Matches(const std::string& outcome, const std::string& expected) {
  if (expected.rfind("error: ", 0) == 0) return outcome.rfind(expected, 0) == 0;
  return outcome == expected;
}

}  // namespace

// A wrong escape must not send something else than the user meant: zero
// bytes kept, \x limited to one byte, octal bounded, unknown escapes refused.
TEST(CliBytes, EscapesAndHexGiveExactlyTheBytesMeant) {
  struct Row {
    bool hex;
    std::string input, expected;
  };
  const Row rows[] = {
      {false, "plain text", "plain text"},
      {false, R"(a\nb\r\t\e[0m)", "a\nb\r\t\x1b[0m"},
      {false, R"(\x41\x4)", "A\x04"},
      {false, R"(\x414)", "A4"},
      {false, R"(a\0b)", "a\0b"s},
      {false, R"(\101\1234\377)", "AS4\xff"},
      {false, R"(\\\"\'\?)", "\\\"'?"},
      {false, R"(\q)", "error: unknown escape \\q"},
      {false, R"(abc\)", "error: a backslash ends the data"},
      {false, R"(\xg)", "error: \\x needs one or two hex digits"},
      {false, R"(\400)", "error: octal escape above \\377"},
      {true, "48656c", "Hel"},
      {true, " 48 65\t6C ", "Hel"},
      {true, "0x48,0x65:6c-00ff", "Hel\0\xff"s},
      {true, "", ""},
      {true, "486", "error: hex group '486' has an odd number of digits"},
      {true, "4g", "error: '4g' is not hex"},
      {true, "0x", "error: '0x' is not hex"},
  };
  for (const Row& row : rows) {
    const std::string outcome = Outcome([&] { return row.hex ? ParseHex(row.input) : ParseEscapes(row.input); });
    EXPECT_TRUE(Matches(outcome, row.expected)) << row.input << " gave " << outcome;
  }
}

// The library's parsers fall back to a default for any text they do not
// know; the options must refuse such text instead of quietly using 9600 or
// "None".
TEST(CliLineOptions, UnknownTextsAreRefusedInsteadOfFallingBack) {
  struct Row {
    std::vector<std::string> args;
    std::string expected;  // the port's settings after applying, or an error
  };
  const Row rows[] = {
      {{}, "9600 8 None 1, flow None"},
      {{"--baud", "115200", "--data", "5", "--parity", "odd", "--stop", "1.5", "--flow", "HARDWARE"},
       "115200 5 Odd 1.5, flow Hardware"},
      {{"--data", "7", "--stop", "1.5"}, "error: --stop 1.5: 1.5 stop bits need 5 data bits (--data 5)"},
      {{"--stop", "1.5"}, "error: --stop 1.5: 1.5 stop bits need 5 data bits"},
      {{"--data", "5", "--stop", "2"}, "error: --stop 2: 2 stop bits need 6, 7 or 8 data bits"},
      {{"--baud=230400"}, "230400 8 None 1, flow None"},
      {{"--flow", "software", "--parity", "Space", "--stop", "2"}, "9600 8 Space 2, flow Software"},
      {{"--baud", "custom"}, "error: --baud 'custom' is not a rate"},
      {{"--baud", "0"}, "error: --baud '0' is not a rate"},
      {{"--baud", "9600.0"}, "error: --baud '9600.0' is not a rate"},
      {{"--baud", "99999999999"}, "error: --baud '99999999999' is not a rate"},
      {{"--parity", "sometimes"}, "error: --parity 'sometimes' is not one of None, Odd, Even, Mark, Space"},
      {{"--parity", " odd"}, "error: --parity ' odd' is not one of"},
      {{"--data", "9"}, "error: --data '9' is not one of 5, 6, 7, 8"},
      {{"--stop", "1,5"}, "error: --stop '1,5' is not one of 1, 1.5, 2"},
      {{"--flow", "Custom"}, "error: --flow 'Custom' is not one of None, Hardware, Software"},
      {{"--flow", "xonxoff"}, "error: --flow 'xonxoff' is not one of"},
  };
  for (const Row& row : rows) {
    const std::string outcome = Outcome([&] {
      const LineOptions options = ParseLineOptions(ParseArguments(row.args, LineOptionSpecs()));
      CPort::TComPort port;
      ApplyLineOptions(options, port);
      return LineSettingsSummary(port);
    });
    EXPECT_TRUE(Matches(outcome, row.expected)) << testing::PrintToString(row.args) << " gave " << outcome;
  }
}

// The send's time limit used to count a whole millisecond per byte, so
// 36,000 bytes at 4 Mbit/s with --timeout 500 waited 36.5 s instead of about
// 0.6 s. The limit is the line's own time for the whole write, rounded up
// once, plus the timeout.
TEST(CliSendTimeLimit, LineTimeIsNotRoundedUpPerByte) {
  struct Row {
    std::int32_t rate;
    std::int64_t bytes;
    std::int32_t timeout;
    std::int64_t limitMs;  // what the port's write timeouts allow for the write
  } rows[] = {
      {4000000, 36000, 500, 599},         // 99 ms of line time
      {115200, 40000, 500, 4320},         // 3820 ms of line time
      {9600, 1, 500, 502},                // one byte's 1.15 ms rounded up once
      {9600, 0, 500, 500},
      {110, 1000, 0, 0},                  // 0: no limit at all
      {300, 2147483647, 5000, 2147483647},  // capped, not wrapped
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.rate) + " bit/s, " + std::to_string(row.bytes) + " bytes");
    CPort::TComPort port;
    port.SetBaudRate(CPort::brCustom);
    port.SetCustomBaudRate(row.rate);
    LimitWriteTime(port, row.bytes, row.timeout);
    const std::int64_t limit = std::int64_t{port.Timeouts().WriteTotalMultiplier()} * row.bytes +
                               port.Timeouts().WriteTotalConstant();
    EXPECT_EQ(limit, row.limitMs);
  }
}

// Options anywhere, "--" before data that looks like an option, and clear
// refusals of what the command does not know.
TEST(CliArguments, OptionsPositionalsAndRefusals) {
  const std::vector<OptionSpec> spec = {{"hex", false}, {"timeout", true}, {"help", false}};
  const Arguments parsed = ParseArguments({"--timeout=5", "PORT", "--hex", "--", "--not-an-option", "-"}, spec);
  EXPECT_EQ(parsed.Value("timeout"), "5");
  EXPECT_TRUE(parsed.Has("hex"));
  EXPECT_EQ(parsed.Positionals(), (std::vector<std::string>{"PORT", "--not-an-option", "-"}));
  EXPECT_TRUE(ParseArguments({"-h"}, spec).Has("help"));

  const std::pair<std::vector<std::string>, std::string> refusals[] = {
      {{"--nope"}, "error: unknown option '--nope'"},
      {{"-x"}, "error: unknown option '-x'"},
      {{"PORT", "--timeout"}, "error: option '--timeout' needs a value"},
      {{"--hex=1"}, "error: option '--hex' takes no value"},
  };
  for (const auto& [args, expected] : refusals) {
    const std::string outcome = Outcome([&] {
      ParseArguments(args, spec);
      return "accepted"s;
    });
    EXPECT_TRUE(Matches(outcome, expected)) << outcome;
  }
  const auto positionals = [&](std::vector<std::string> args) {
    return Outcome([&] {
      RequirePositionals(ParseArguments(args, spec), {"PORT", "DATA"});
      return "accepted"s;
    });
  };
  EXPECT_EQ(positionals({"p"}), "error: missing DATA");
  EXPECT_EQ(positionals({"p", "d", "e"}), "error: unexpected argument 'e'");
}

// Received bytes pass unchanged in text mode (a zero byte included), stamps
// begin lines only, events never run into the data.
TEST(CliMonitorOutput, BytesAndEventsAsShown) {
  struct Step {
    bool event;
    std::string text;
  };
  struct Row {
    const char* what;
    MonitorMode mode;
    bool stamps;
    std::vector<Step> steps;
    std::string expected;
  };
  const std::string seventeen = "0123456789abcdef\x01";
  const Row rows[] = {
      {"text",
       MonitorMode::Text,
       false,
       {{false, "ab\0"s}, {true, "CTS on"}, {false, "c\r\n"}},
       "ab\0\n[CTS on]\nc\r\n"s},
      {"text with stamps",
       MonitorMode::Text,
       true,
       {{false, "a\nb"}, {false, "c\n"}, {false, "d"}, {true, "break"}},
       "T a\nT bc\nT d\nT [break]\n"},
      {"hex",
       MonitorMode::Hex,
       false,
       {{false, seventeen}, {true, "ring"}},
       "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  0123456789abcdef\n"
       "01                                               .\n"
       "[ring]\n"},
  };
  for (const Row& row : rows) {
    MonitorOutput output(row.mode, row.stamps ? std::function<std::string()>([] { return "T"s; }) : nullptr);
    std::string shown;
    for (const Step& step : row.steps) shown += step.event ? output.Event(step.text) : output.Data(step.text);
    EXPECT_EQ(shown, row.expected) << row.what;
  }
  EXPECT_EQ(LineErrorsText({CPort::ceFrame, CPort::ceRxParity, CPort::ceTxFull}), "frame, parity, output full");
}
