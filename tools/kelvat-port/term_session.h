// One `term` session on an open port: the keyboard (or a script on standard
// input) to the device, the device to the screen, the command keys, the log
// and the device's comings and goings. Everything runs on the main thread:
// the port delivers its events there (smThreadSync) while ConsoleLoop
// serves its queue, and standard input is read when ConsoleLoop finds it
// readable.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "CPort/ComPort.h"
#include "byte_maps.h"
#include "command_keys.h"
#include "console_loop.h"
#include "term_output.h"

namespace KelvatPort {

struct TermOptions {
  bool interactive = true;  // standard input is a terminal: command keys on
  char commandKey = 0x14;   // Ctrl+T
  bool echo = false;
  bool hex = false;
  bool timestamps = false;
  std::string logPath;  // empty: no log at the start
  ByteMaps maps;
  std::string lineEnd = "\n";  // "\r\n" on a raw console
  // How long the end of the input waits for the device to report its output
  // sent (closing a port discards what its driver still holds).
  std::chrono::milliseconds drainLimit{2000};
};

// "115200 8 None 1, flow None": as LineSettingsSummary, but DTR and RTS
// held on by hand do not make the flow control "Custom".
std::string TermSettingsSummary(const CPort::TCustomComPort& port);

class TermSession {
 public:
  // Installs the port's handlers and the application's error display. Opens
  // the log first when one is asked for: raises FileError when it cannot.
  TermSession(CPort::TComPort& port, ConsoleLoop& loop, TermOptions options);
  // Takes the handlers back: the port may outlive the session.
  ~TermSession();
  TermSession(const TermSession&) = delete;
  TermSession& operator=(const TermSession&) = delete;

  // Standard input is readable (ConsoleLoop calls this).
  void ReadInput();
  // Whether standard input should be read now: a script's bytes wait while
  // the device is away.
  bool WantsInput() const;

  // From here on nothing more is shown (closing reports every line off).
  void Silence() { silent_ = true; }
  // The error that ended the session, or nothing.
  const std::exception_ptr& Error() const { return error_; }
  // The input ended, but the device never reported the last output sent.
  bool Undrained() const { return draining_; }
  int OutputError() const { return outputError_; }

 private:
  void Show(const std::string& text);
  void Log(const std::string& text);
  void Note(const std::string& what);  // screen only
  void Event(const std::string& what);  // screen and log
  void Received(const std::string& bytes);
  void Line(const char* name, bool& known, bool on);
  void Fail(std::exception_ptr error);

  void Transmit(const std::string& keys);
  void RunCommand(char key);
  void PromptDone(const std::string& text);
  void SendBreak();
  void ToggleDtr();
  void ToggleRts();
  void ShowState();
  void ChangeRate(const std::string& text);
  void StartLog(const std::string& path);
  void StopLog(const std::string& why);

  CPort::TComPort& port_;
  ConsoleLoop& loop_;
  TermOptions options_;
  CommandKeys keys_;
  TermOutput screen_;
  TermOutput logOutput_;
  enum class Prompt { None, Rate, LogFile } prompt_ = Prompt::None;

  int logFd_ = -1;
  std::string logPath_;      // the open log
  std::string lastLogPath_;  // offered when logging starts again

  std::int64_t bytesIn_ = 0, bytesOut_ = 0;
  std::int64_t lineErrors_[8] = {};
  bool cts_ = false, dsr_ = false, rlsd_ = false;
  bool inputEnded_ = false;
  bool quitting_ = false;
  bool sentSinceTxEmpty_ = false;
  bool draining_ = false;  // the input ended; the end waits for tx-empty
  bool unsentNoted_ = false;  // keys dropped while the device is away: said once
  std::string loss_;          // what the lost device reported, until the wait begins

  bool silent_ = false;
  int outputError_ = 0;
  std::exception_ptr error_;
};

}  // namespace KelvatPort
