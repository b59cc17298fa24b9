#include "command_keys.h"

#include <cctype>

#include "exit_codes.h"

namespace KelvatPort {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

constexpr char kEscape = 0x1b, kCtrlC = 0x03, kBackspace = 0x08, kDelete = 0x7f;

}  // namespace

char ParseCommandKey(std::string_view text) {
  const std::string lower = Lower(text);
  std::string_view rest;
  for (const char* prefix : {"ctrl-", "ctrl+", "c-", "^"}) {
    const std::string_view p(prefix);
    if (lower.size() == p.size() + 1 && lower.compare(0, p.size(), p) == 0) {
      rest = std::string_view(lower).substr(p.size());
      break;
    }
  }
  const std::string why =
      "--command-key '" + std::string(text) + "' is not a control key such as ctrl-t, C-a or ^]";
  if (rest.empty()) throw UsageError(why);
  const char c = rest[0];
  char key = 0;
  if (c >= 'a' && c <= 'z') key = static_cast<char>(c - 'a' + 1);
  else if (c == '\\' || c == ']' || c == '^' || c == '_') key = static_cast<char>(c - 0x40);
  else throw UsageError(why);
  if (key == kBackspace || key == '\t' || key == '\n' || key == '\r')
    throw UsageError("--command-key '" + std::string(text) + "' is Backspace, Tab or Enter: choose another key");
  return key;
}

std::string CommandKeyName(char key) {
  const char shown = static_cast<char>(key + 0x40);
  return std::string("Ctrl+") + shown;
}

const std::vector<CommandKeyInfo>& CommandKeyTable() {
  static const std::vector<CommandKeyInfo> table = {
      {'q', "quit"},
      {'?', "list the command keys"},
      {'b', "send a break (250 ms)"},
      {'d', "switch DTR on or off"},
      {'r', "switch RTS on or off"},
      {'s', "show the line state: settings, modem lines, bytes in and out, line errors"},
      {'B', "change the rate (type it, then Enter)"},
      {'e', "local echo on or off"},
      {'h', "hex display on or off"},
      {'t', "timestamps on or off"},
      {'f', "start or stop logging to a file"},
      {'l', "clear the screen"},
  };
  return table;
}

std::string CommandKeyHelp(char commandKey, const std::string& lineEnd) {
  const std::string name = CommandKeyName(commandKey);
  std::string text;
  for (const CommandKeyInfo& info : CommandKeyTable())
    text += "  " + name + " " + info.key + "   " + info.what + lineEnd;
  text += "  " + name + " " + name + "  send " + name + " itself" + lineEnd;
  return text;
}

void CommandKeys::StartPrompt(std::string initial) {
  prompting_ = true;
  afterCommandKey_ = false;
  line_ = std::move(initial);
}

std::vector<KeyEvent> CommandKeys::Feed(std::string_view& keys) {
  std::vector<KeyEvent> events;
  auto send = [&](char c) {
    if (events.empty() || events.back().kind != KeyEvent::Kind::Send) events.push_back({KeyEvent::Kind::Send, ""});
    events.back().text += c;
  };
  while (!keys.empty()) {
    const char c = keys.front();
    keys.remove_prefix(1);
    if (prompting_) {
      if (c == '\r' || c == '\n') {
        prompting_ = false;
        events.push_back({KeyEvent::Kind::PromptDone, line_});
      } else if (c == kEscape || c == kCtrlC || c == commandKey_) {
        prompting_ = false;
        events.push_back({KeyEvent::Kind::PromptCancelled, ""});
      } else {
        if (c == kBackspace || c == kDelete) {
          if (!line_.empty()) line_.pop_back();
        } else if (static_cast<unsigned char>(c) >= 0x20) {
          line_ += c;
        } else {
          continue;  // other control keys mean nothing in a line
        }
        events.push_back({KeyEvent::Kind::PromptEdited, line_});
      }
      continue;
    }
    if (afterCommandKey_) {
      afterCommandKey_ = false;
      if (c == commandKey_) {
        send(c);
      } else {
        events.push_back({KeyEvent::Kind::Command, std::string(1, c)});
        break;
      }
    } else if (c == commandKey_) {
      afterCommandKey_ = true;
    } else {
      send(c);
    }
  }
  return events;
}

}  // namespace KelvatPort
