// The keyboard of `term`: plain keys go to the device; the command key
// (Ctrl+T unless chosen otherwise) followed by one key runs a command; the
// command key twice sends it once. A command that needs a line of text (a
// rate, a file name) takes the following keys as that line until Enter.
//
// Pure: bytes in, what to do out; the terminal is the caller's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace KelvatPort {

// "ctrl-t", "Ctrl+T", "C-t" or "^T" (any letter case) for Ctrl with a letter
// or one of \ ] ^ _ gives that control byte. Raises UsageError for anything
// else, and for Ctrl+H, I, J and M, which are Backspace, Tab and Enter.
char ParseCommandKey(std::string_view text);
// "Ctrl+T" for 0x14.
std::string CommandKeyName(char key);

// The commands, by the key that follows the command key.
struct CommandKeyInfo {
  char key;
  const char* what;
};
const std::vector<CommandKeyInfo>& CommandKeyTable();
// One line per command, for the help shown in a session and by --help.
std::string CommandKeyHelp(char commandKey, const std::string& lineEnd);

struct KeyEvent {
  enum class Kind {
    Send,          // text: bytes for the device
    Command,       // text: the key that followed the command key
    PromptEdited,  // text: the line typed so far
    PromptDone,    // text: the line, ended with Enter
    PromptCancelled,
  };
  Kind kind;
  std::string text;
  bool operator==(const KeyEvent&) const = default;
};

class CommandKeys {
 public:
  explicit CommandKeys(char commandKey) : commandKey_(commandKey) {}

  // What the keys typed mean, in order; consecutive plain bytes form one
  // Send. Takes the keys it read off the front of `keys` and stops after a
  // Command, so that the caller can start a prompt before the rest is read.
  std::vector<KeyEvent> Feed(std::string_view& keys);
  // The next keys form a line (after a Command that asked for one), starting
  // with `initial`. Enter ends it, Escape, Ctrl+C or the command key cancel
  // it, Backspace and Delete take back the last byte.
  void StartPrompt(std::string initial = {});
  bool Prompting() const { return prompting_; }

 private:
  char commandKey_;
  bool afterCommandKey_ = false;
  bool prompting_ = false;
  std::string line_;
};

}  // namespace KelvatPort
