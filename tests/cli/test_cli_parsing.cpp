// The pure parts of kelvat-port: what a user types becomes exactly the
// bytes and settings meant, and anything else is refused with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CPort/ComPort.h"
#include "arguments.h"
#include "byte_maps.h"
#include "command_keys.h"
#include "escapes.h"
#include "exit_codes.h"
#include "line_options.h"
#include "monitor_output.h"
#include "term_output.h"

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

// The command key is a control key that typing never needs: a name that
// would make Enter, Tab or Backspace a command (and so swallow them), or any
// other key, is refused rather than taken as something else.
TEST(CliTermKeys, CommandKeyNamesGiveTheirControlByteOrAreRefused) {
  const std::pair<std::string, std::string> rows[] = {
      {"ctrl-t", "\x14"}, {"Ctrl+T", "\x14"}, {"C-a", "\x01"},  {"^]", "\x1d"},
      {"^\\", "\x1c"},    {"ctrl-_", "\x1f"}, {"ctrl-m", "error: --command-key 'ctrl-m' is Backspace, Tab or Enter"},
      {"^J", "error: --command-key '^J' is Backspace"}, {"t", "error: --command-key 't' is not a control key"},
      {"ctrl-tt", "error: --command-key 'ctrl-tt'"},    {"ctrl-1", "error: --command-key 'ctrl-1'"},
  };
  for (const auto& [text, expected] : rows) {
    const std::string outcome = Outcome([&] { return std::string(1, ParseCommandKey(text)); });
    EXPECT_TRUE(Matches(outcome, expected)) << text << " gave " << outcome;
  }
  EXPECT_EQ(CommandKeyName('\x14'), "Ctrl+T");
}

// Typed bytes reach the device whole and in order around the commands: a
// command key split from its command across two reads, the command key
// sent by doubling it, a prompt that takes the keys after its command even
// when they came in the same read, Backspace in a prompt, and cancelling.
TEST(CliTermKeys, KeysSplitIntoSendsCommandsAndPromptsWithoutLosingBytes) {
  struct Row {
    const char* what;
    char commandKey;
    std::vector<std::string> reads;
    std::string expected;
  };
  const Row rows[] = {
      {"plain", '\x14', {"ab\x03\x1a"}, "S(ab\x03\x1a)"},
      {"doubled command key", '\x14', {"a\x14\x14", "b"}, "S(a\x14) S(b)"},
      {"commands between bytes", '\x14', {"a\x14q", "b\x14"}, "S(a) C(q) S(b)"},
      {"split command", '\x14', {"a\x14", "s", "c"}, "S(a) C(s) S(c)"},
      {"prompt in one read", '\x14', {"\x14" "B12\x7f" "3\rx"}, "C(B) E(1) E(12) E(1) E(13) D(13) S(x)"},
      {"prompt cancelled", '\x14', {"\x14" "Ba", "\x1b" "b"}, "C(B) E(a) X S(b)"},
      {"other command key", '\x01', {"\x14\x01q"}, "S(\x14) C(q)"},
  };
  for (const Row& row : rows) {
    CommandKeys keys(row.commandKey);
    std::string shown;
    for (const std::string& read : row.reads) {
      std::string_view rest(read);
      while (!rest.empty()) {
        for (const KeyEvent& event : keys.Feed(rest)) {
          static const char* const kinds[] = {"S", "C", "E", "D", "X"};
          shown += (shown.empty() ? "" : " ") + std::string(kinds[static_cast<int>(event.kind)]);
          if (event.kind != KeyEvent::Kind::PromptCancelled) shown += "(" + event.text + ")";
          if (event.kind == KeyEvent::Kind::Command && event.text == "B") keys.StartPrompt();
        }
      }
    }
    EXPECT_EQ(shown, row.expected) << row.what;
  }
}

// Each rule rewrites only its own bytes, a CR LF split between two reads is
// still one CR LF, a CR held back for that is not lost at the end, and a
// rule list that is wrong or contradicts itself is refused.
TEST(CliTermMaps, RulesRewriteOnlyTheirBytesAcrossReads) {
  struct Row {
    std::string rules;
    bool toDevice;
    std::vector<std::string> reads;
    std::string expected;
  };
  const Row rows[] = {
      {"out:cr=crlf", true, {"a\rb\n"}, "a\r\nb\n"},
      {"in:lf=crlf", false, {"one\ntwo\r\n"}, "one\r\ntwo\r\r\n"},
      {"in:crlf=lf", false, {"a\r", "\nb\r", "c\r"}, "a\nb\rc\r"},
      {"in:crlf=lf,in:cr=", false, {"a\r\nb\rc"}, "a\nbc"},
      {"ODELBS,ONLCRNL", true, {"x\x7f\n\0"s}, "x\b\r\n\0"s},
      {"IGNCR", false, {"a\r\r\nb"}, "a\nb"},
      {"out:bs=del", false, {"a\b"}, "a\b"},  // the other direction only
      {"out:cr=crlf,out:cr=lf", true, {}, "error: --map gives two rules"},
      {"sideways:cr=lf", true, {}, "error: --map 'sideways:cr=lf' is not a rule"},
      {"in:cr=tab", true, {}, "error: --map 'in:cr=tab'"},
      {"in=cr:lf", true, {}, "error: --map 'in=cr:lf'"},
  };
  for (const Row& row : rows) {
    const std::string outcome = Outcome([&] {
      ByteMaps maps = ParseByteMaps(row.rules);
      ByteMap& map = row.toDevice ? maps.toDevice : maps.fromDevice;
      std::string out;
      for (const std::string& read : row.reads) out += map.Apply(read);
      return out + map.Flush();
    });
    EXPECT_TRUE(Matches(outcome, row.expected)) << row.rules << " gave " << testing::PrintToString(outcome);
  }
}

// The device's bytes pass unchanged in text (the output's own lines end as
// asked, the device's do not change); hex wraps at 16 bytes; a stamp begins
// every line, notes never run into the data, and switching to hex mid-line
// starts a new one.
TEST(CliTermOutput, TextHexStampsAndNotesKeepLinesApart) {
  struct Step {
    char kind;  // d: data, n: note, h: hex on, t: hex off, s: stamps on, p: prompt
    std::string text;
  };
  struct Row {
    const char* what;
    std::vector<Step> steps;
    std::string expected;
  };
  const std::string seventeen = "0123456789abcdef\x01";
  const Row rows[] = {
      {"text", {{'d', "ab\0\n"s}, {'d', "c"}, {'n', "DTR off"}, {'d', "d"}}, "ab\0\nc\r\n[DTR off]\r\nd"s},
      {"stamps", {{'s', ""}, {'d', "a\nb"}, {'d', "c\n"}, {'n', "break"}}, "T a\nT bc\nT [break]\r\n"},
      {"hex", {{'d', "x"}, {'h', ""}, {'d', seventeen}, {'t', ""}, {'d', "y"}},
       "x\r\n30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66\r\n01\r\ny"},
      {"hex with stamps", {{'h', ""}, {'s', ""}, {'d', "\x54\x3d"}, {'n', "ring"}}, "T 54 3d\r\nT [ring]\r\n"},
      {"prompt", {{'d', "z"}, {'p', "rate: 1"}, {'p', "rate: 12"}, {'n', "done"}},
       "z\r\n\r\x1b[Krate: 1\r\x1b[Krate: 12\r\n[done]\r\n"},
  };
  for (const Row& row : rows) {
    TermOutput output("\r\n", [] { return "T"s; });
    std::string shown;
    for (const Step& step : row.steps) {
      switch (step.kind) {
        case 'd': shown += output.Data(step.text); break;
        case 'n': shown += output.Note(step.text); break;
        case 'h': shown += output.SetHex(true); break;
        case 't': shown += output.SetHex(false); break;
        case 's': output.SetTimestamps(true); break;
        case 'p': shown += output.Prompt(step.text); break;
      }
    }
    EXPECT_EQ(shown, row.expected) << row.what;
  }
}
