#include "term_session.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "CPort/ComErrors.h"
#include "CPort/runtime/MainThread.h"
#include "arguments.h"
#include "commands.h"
#include "error_report.h"
#include "exit_codes.h"
#include "line_options.h"
#include "monitor_output.h"

namespace KelvatPort {

namespace {

using namespace CPort;

constexpr auto kBreakLength = std::chrono::milliseconds(250);

// The first line of DescribeError, without the program's name: the message.
std::string ErrorText(const std::exception_ptr& error) {
  std::string text = DescribeError(error);
  const std::string prefix = "kelvat-port: ";
  if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  // The further lines (device, system, hint) joined onto one.
  std::string joined;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && line.front() == ' ') line.erase(0, 1);
    if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
    start = end + 1;
  }
  return joined;
}

// The system's words for a loss ("Input/output error"), else the message.
std::string LossText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EComPort& e) {
    return e.OsErrorCode() != -1 ? e.OsErrorText() : e.what();
  } catch (...) {
    return ErrorText(error);
  }
}

// The errors that end the port's event delivery as a lost device, which it
// then waits for when reconnecting: the event wait's, or a handler's read
// that the loss overtook.
bool IsDeviceLoss(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const EComPort& e) {
    const int code = e.OsErrorCode();
    return code == EIO || code == ENXIO || code == ENODEV || code == EBADF || code == EPIPE;
  } catch (...) {
    return false;
  }
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

std::string DateAndTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

std::string TermSettingsSummary(const TCustomComPort& port) {
  const TComFlowControl& flow = port.FlowControl();
  const bool rtsByHand = flow.ControlRTS() == rtsEnable || flow.ControlRTS() == rtsDisable;
  std::string summary = LineSettingsSummary(port);
  if (flow.FlowControl() == fcCustom && rtsByHand && !flow.OutCTSFlow()) {
    const char* mode = flow.XonXoffIn() && flow.XonXoffOut() ? "Software"
                       : (!flow.XonXoffIn() && !flow.XonXoffOut() ? "None" : nullptr);
    if (mode != nullptr) summary = summary.substr(0, summary.rfind("flow ")) + "flow " + mode;
  }
  return summary;
}

TermSession::TermSession(TComPort& port, ConsoleLoop& loop, TermOptions options)
    : port_(port),
      loop_(loop),
      options_(std::move(options)),
      keys_(options_.commandKey),
      screen_(options_.lineEnd, TimeOfDayStamp),
      logOutput_("\n", TimeOfDayStamp) {
  screen_.SetHex(options_.hex);
  screen_.SetTimestamps(options_.timestamps);
  if (!options_.logPath.empty()) {
    StartLog(options_.logPath);
    if (logFd_ < 0) throw FileError("cannot open the log " + options_.logPath + ": " + std::strerror(errno));
  }
  port_.OnRxChar = [this](TComponent*, std::int32_t count) {
    std::string bytes;
    port_.ReceiveText(bytes, count);
    Received(bytes);
  };
  port_.OnCTSChange = [this](TComponent*, bool on) { Line("CTS", cts_, on); };
  port_.OnDSRChange = [this](TComponent*, bool on) { Line("DSR", dsr_, on); };
  port_.OnRLSDChange = [this](TComponent*, bool on) { Line("RLSD", rlsd_, on); };
  port_.OnRing = [this](TComponent*) { Event("ring"); };
  port_.OnBreak = [this](TComponent*) { Event("break"); };
  port_.OnError = [this](TComponent*, TComErrors errors) {
    for (int i = 0; i < 8; ++i)
      if (errors.Contains(static_cast<TComError>(i))) ++lineErrors_[i];
    Event("line error: " + LineErrorsText(errors));
  };
  port_.OnRx80Full = [this](TComponent*) { Event("input queue 80% full"); };
  port_.OnTxEmpty = [this](TComponent*) {
    sentSinceTxEmpty_ = false;
    if (draining_) {
      draining_ = false;
      loop_.Stop();
    }
  };
  port_.OnDeviceWait = [this](TComponent*) {
    unsentNoted_ = false;
    Event("device gone" + (loss_.empty() ? std::string() : " (" + loss_ + ")") +
          "; waiting for it to come back" +
          (options_.interactive ? ", " + CommandKeyName(options_.commandKey) + " q quits" : std::string()));
    loss_.clear();
  };
  port_.OnDeviceBack = [this](TComponent*) { Event("device back: " + port_.Port()); };
  Runtime::SetApplicationErrorDisplay([this](std::exception_ptr error, const void*) {
    // With reconnecting, a lost device is a pause: the port says so and waits
    // (OnDeviceWait follows). Anything else ends the session.
    if (port_.Reconnect() && !port_.WaitingForDevice() && IsDeviceLoss(error)) {
      loss_ = LossText(error);
      return;
    }
    Fail(std::move(error));
  });
}

TermSession::~TermSession() {
  Runtime::SetApplicationErrorDisplay(nullptr);
  port_.OnRxChar = nullptr;
  port_.OnCTSChange = port_.OnDSRChange = port_.OnRLSDChange = nullptr;
  port_.OnRing = port_.OnBreak = port_.OnRx80Full = port_.OnTxEmpty = nullptr;
  port_.OnDeviceWait = port_.OnDeviceBack = nullptr;
  port_.OnError = nullptr;
  if (logFd_ >= 0) ::close(logFd_);
}

void TermSession::Fail(std::exception_ptr error) {
  if (!error_) error_ = std::move(error);
  loop_.Stop();
}

// ---- output ------------------------------------------------------------------

void TermSession::Show(const std::string& text) {
  if (silent_ || text.empty()) return;
  if (!WriteAll(STDOUT_FILENO, text)) {
    outputError_ = errno;
    silent_ = true;
    loop_.Stop();
  }
}

void TermSession::Log(const std::string& text) {
  if (logFd_ < 0 || text.empty()) return;
  if (!WriteAll(logFd_, text)) StopLog(std::string("cannot write the log: ") + std::strerror(errno));
}

void TermSession::Note(const std::string& what) { Show(screen_.Note(what)); }

void TermSession::Event(const std::string& what) {
  Show(screen_.Note(what));
  Log(logOutput_.Note(what));
}

void TermSession::Received(const std::string& bytes) {
  bytesIn_ += static_cast<std::int64_t>(bytes.size());
  // Hex shows the bytes as they came; the maps shape the text display.
  const std::string shown = screen_.Hex() ? bytes : options_.maps.fromDevice.Apply(bytes);
  Show(screen_.Data(shown));
  Log(logOutput_.Data(shown));
}

// Only changes are shown; before the port opened every line was off.
void TermSession::Line(const char* name, bool& known, bool on) {
  if (on == known) return;
  known = on;
  Event(std::string(name) + " " + OnOff(on));
}

// ---- input -------------------------------------------------------------------

bool TermSession::WantsInput() const { return !inputEnded_ && (options_.interactive || port_.Connected()); }

void TermSession::ReadInput() {
  char buffer[1024];
  // A script's bytes go in pieces small enough that received bytes are
  // shown between them.
  const ssize_t n = ::read(STDIN_FILENO, buffer, options_.interactive ? sizeof buffer : 256);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    Fail(std::make_exception_ptr(FileError(std::string("cannot read standard input: ") + std::strerror(errno))));
    return;
  }
  if (n == 0) {
    // The end of a script (or of the console): send what a map held back,
    // then end once the device reports its output sent, since closing the
    // port discards what its driver still holds. Reports of earlier writes
    // waiting in the queue are taken first.
    inputEnded_ = true;
    const std::string held = options_.maps.toDevice.Flush();
    if (!held.empty() && port_.Connected()) Transmit(held);
    Runtime::ServeMainThreadQueue();
    if (sentSinceTxEmpty_ && port_.Connected() && !error_) {
      draining_ = true;
      loop_.StopAfter(options_.drainLimit);
    } else {
      loop_.Stop();
    }
    return;
  }
  if (!options_.interactive) {
    Transmit(std::string(buffer, static_cast<std::size_t>(n)));
    return;
  }
  std::string_view keys(buffer, static_cast<std::size_t>(n));
  // Keys typed after the quit key in the same read are not sent.
  while (!keys.empty() && !silent_ && !quitting_) {
    for (const KeyEvent& event : keys_.Feed(keys)) {
      switch (event.kind) {
        case KeyEvent::Kind::Send: Transmit(event.text); break;
        case KeyEvent::Kind::Command: RunCommand(event.text[0]); break;
        case KeyEvent::Kind::PromptEdited:
          Show(screen_.Prompt((prompt_ == Prompt::Rate ? "rate (bits/s): " : "log file: ") + event.text));
          break;
        case KeyEvent::Kind::PromptDone: PromptDone(event.text); break;
        case KeyEvent::Kind::PromptCancelled:
          prompt_ = Prompt::None;
          Note("cancelled");
          break;
      }
    }
  }
}

void TermSession::Transmit(const std::string& keys) {
  const std::string bytes = options_.maps.toDevice.Apply(keys);
  if (bytes.empty()) return;
  if (!port_.Connected()) {
    if (!unsentNoted_) Note("not sent while the device is away");
    unsentNoted_ = true;
    return;
  }
  std::int32_t sent = 0;
  try {
    sent = port_.SendText(bytes);
  } catch (const EComPort&) {
    // A device that goes away can fail a write before its loss is handled:
    // with reconnecting on, that is noted and the session goes on.
    if (!options_.interactive || !port_.Reconnect()) {
      Fail(std::current_exception());
      return;
    }
    Note("not sent: " + ErrorText(std::current_exception()));
    return;
  }
  bytesOut_ += sent;
  if (sent > 0) sentSinceTxEmpty_ = true;
  if (options_.echo) Show(screen_.Data(bytes.substr(0, static_cast<std::size_t>(sent))));
  if (sent < static_cast<std::int32_t>(bytes.size())) {
    const std::string what = "only " + std::to_string(sent) + " of " + std::to_string(bytes.size()) +
                             " bytes were sent: the device took no more in time (flow control holding it back?)";
    if (options_.interactive) Note(what);
    else Fail(std::make_exception_ptr(std::runtime_error(what)));
  }
}

// ---- command keys ------------------------------------------------------------

void TermSession::RunCommand(char key) {
  switch (key) {
    case 'q':
      quitting_ = true;
      loop_.Stop();
      break;
    case '?': Show(screen_.Note("command keys") + CommandKeyHelp(options_.commandKey, options_.lineEnd)); break;
    case 'b': SendBreak(); break;
    case 'd': ToggleDtr(); break;
    case 'r': ToggleRts(); break;
    case 's': ShowState(); break;
    case 'B':
      prompt_ = Prompt::Rate;
      keys_.StartPrompt();
      Show(screen_.Prompt("rate (bits/s): "));
      break;
    case 'e':
      options_.echo = !options_.echo;
      Note("local echo " + OnOff(options_.echo));
      break;
    case 'h': {
      const bool on = !screen_.Hex();
      Show(screen_.SetHex(on));
      Log(logOutput_.SetHex(on));
      Note("hex display " + OnOff(on));
      break;
    }
    case 't': {
      const bool on = !screen_.Timestamps();
      screen_.SetTimestamps(on);
      logOutput_.SetTimestamps(on);
      Note("timestamps " + OnOff(on));
      break;
    }
    case 'f':
      if (logFd_ >= 0) {
        StopLog("log closed: " + logPath_);
      } else {
        prompt_ = Prompt::LogFile;
        keys_.StartPrompt(lastLogPath_);
        Show(screen_.Prompt("log file: " + lastLogPath_));
      }
      break;
    case 'l': Show("\x1b[H\x1b[2J"); break;
    default: {
      const std::string name = CommandKeyName(options_.commandKey);
      const unsigned char shown = static_cast<unsigned char>(key);
      const std::string keyText = shown >= 0x20 && shown < 0x7f ? std::string(1, key) : "that key";
      Note(name + " " + keyText + " is no command; " + name + " ? lists them");
    }
  }
}

void TermSession::PromptDone(const std::string& text) {
  const Prompt prompt = prompt_;
  prompt_ = Prompt::None;
  if (text.empty()) {
    Note("cancelled");
    return;
  }
  if (prompt == Prompt::Rate) {
    ChangeRate(text);
  } else if (prompt == Prompt::LogFile) {
    StartLog(text);
    if (logFd_ < 0) Note("cannot log to " + text + ": " + std::strerror(errno));
    else Note("logging to " + logPath_);
  }
}

void TermSession::SendBreak() {
  try {
    port_.SetBreak(true);
    // A pause the user asked for: the line holds the break this long.
    std::this_thread::sleep_for(kBreakLength);
    port_.SetBreak(false);
    Note("break sent");
  } catch (const EComPort&) {
    Note("no break sent: " + ErrorText(std::current_exception()));
  }
}

void TermSession::ToggleDtr() {
  TComFlowControl& flow = port_.FlowControl();
  if (flow.ControlDTR() == dtrHandshake) {
    Note("DTR is under flow control");
    return;
  }
  const TDTRFlowControl before = flow.ControlDTR();
  try {
    flow.SetControlDTR(before == dtrEnable ? dtrDisable : dtrEnable);
    Note("DTR " + OnOff(flow.ControlDTR() == dtrEnable));
  } catch (const EComPort&) {
    const std::exception_ptr error = std::current_exception();
    try {
      flow.SetControlDTR(before);
    } catch (const EComPort&) {
    }
    Note("DTR unchanged: " + ErrorText(error));
  }
}

void TermSession::ToggleRts() {
  TComFlowControl& flow = port_.FlowControl();
  if (flow.ControlRTS() != rtsEnable && flow.ControlRTS() != rtsDisable) {
    Note("RTS is under flow control");
    return;
  }
  const TRTSFlowControl before = flow.ControlRTS();
  try {
    flow.SetControlRTS(before == rtsEnable ? rtsDisable : rtsEnable);
    Note("RTS " + OnOff(flow.ControlRTS() == rtsEnable));
  } catch (const EComPort&) {
    const std::exception_ptr error = std::current_exception();
    try {
      flow.SetControlRTS(before);
    } catch (const EComPort&) {
    }
    Note("RTS unchanged: " + ErrorText(error));
  }
}

void TermSession::ShowState() {
  const TComFlowControl& flow = port_.FlowControl();
  Note(port_.Port() + ": " + TermSettingsSummary(port_) +
       (port_.WaitingForDevice() ? "; waiting for the device"
                                 : (port_.Connected() ? std::string() : "; closed")));
  auto control = [](bool on, bool handshake) { return handshake ? std::string("flow control") : OnOff(on); };
  std::string lines = "DTR " + control(flow.ControlDTR() == dtrEnable, flow.ControlDTR() == dtrHandshake) +
                      ", RTS " +
                      control(flow.ControlRTS() == rtsEnable,
                              flow.ControlRTS() != rtsEnable && flow.ControlRTS() != rtsDisable);
  try {
    const TModemSignals in = port_.LineSignals();
    lines += "; CTS " + OnOff(in.Contains(msCTS)) + ", DSR " + OnOff(in.Contains(msDSR)) + ", ring " +
             OnOff(in.Contains(msRing)) + ", RLSD " + OnOff(in.Contains(msRLSD));
  } catch (const EComPort&) {
    lines += "; input lines unknown";
  }
  Note(lines);
  std::string errors;
  static const char* const names[] = {"frame", "parity", "overrun",        "break",
                                      "I/O",   "mode",   "input overflow", "output full"};
  for (int i = 0; i < 8; ++i)
    if (lineErrors_[i] != 0)
      errors += (errors.empty() ? "" : ", ") + std::string(names[i]) + " " + std::to_string(lineErrors_[i]);
  Note("received " + std::to_string(bytesIn_) + " bytes, sent " + std::to_string(bytesOut_) +
       " bytes; line errors: " + (errors.empty() ? "none" : errors));
  Note("echo " + OnOff(options_.echo) + ", hex " + OnOff(screen_.Hex()) + ", timestamps " +
       OnOff(screen_.Timestamps()) + ", log " + (logFd_ >= 0 ? logPath_ : "off"));
}

void TermSession::ChangeRate(const std::string& text) {
  LineOptions wanted;
  try {
    wanted = ParseLineOptions(ParseArguments({"--baud", text}, LineOptionSpecs()));
  } catch (const UsageError& e) {
    Note(std::string(e.what()) + "; rate unchanged");
    return;
  }
  const TBaudRate rate = port_.BaudRate();
  const std::int32_t custom = port_.CustomBaudRate();
  try {
    ApplyLineOptions(wanted, port_);
    Note("line now " + TermSettingsSummary(port_));
  } catch (const EComPort&) {
    const std::exception_ptr error = std::current_exception();
    try {
      port_.SetCustomBaudRate(custom);
      port_.SetBaudRate(rate);
    } catch (const EComPort&) {
    }
    Note("rate unchanged: " + ErrorText(error));
  }
}

// ---- log ---------------------------------------------------------------------

void TermSession::StartLog(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  logFd_ = fd;
  logPath_ = lastLogPath_ = path;
  logOutput_ = TermOutput("\n", TimeOfDayStamp);
  logOutput_.SetHex(screen_.Hex());
  logOutput_.SetTimestamps(screen_.Timestamps());
  Log("=== kelvat-port term " + port_.Port() + " (" + TermSettingsSummary(port_) + "), log begun " + DateAndTime() +
      " ===\n");
}

void TermSession::StopLog(const std::string& why) {
  if (logFd_ < 0) return;
  ::close(logFd_);
  logFd_ = -1;
  Note(why);
}

}  // namespace KelvatPort
