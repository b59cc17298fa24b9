// kelvat-port monitor: show what a port receives, and its line events, until
// Ctrl+C.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "arguments.h"
#include "commands.h"
#include "console_loop.h"
#include "error_report.h"
#include "exit_codes.h"
#include "line_options.h"
#include "monitor_output.h"

namespace KelvatPort {

namespace {

std::string Help() {
  return std::string(
             "Usage: kelvat-port monitor [options] PORT\n"
             "\n"
             "Shows the bytes PORT receives, as they come, and its line events: CTS,\n"
             "DSR and RLSD (carrier) changes, ring, breaks and line errors (frame,\n"
             "parity, overrun ...), each on a line of its own in brackets. Ctrl+C\n"
             "(or SIGTERM, SIGHUP) ends it. Data goes to standard output, notes to\n"
             "standard error.\n"
             "\n"
             "  --hex          16 bytes a line, in hex and as printable text\n"
             "  --timestamps   begin each line with the time it came (HH:MM:SS.mmm)\n"
             "  --help         this text\n"
             "\n") +
         LineOptionsHelp() + "\n" + kExitStatusHelp;
}

// The state of one monitoring run; its handlers run on the main thread.
class Monitor {
 public:
  Monitor(CPort::TComPort& port, ConsoleLoop& loop, MonitorMode mode, bool timestamps)
      : port_(port), loop_(loop), output_(mode, timestamps ? std::function<std::string()>(TimeOfDayStamp) : nullptr) {
    port_.OnRxChar = [this](CPort::TComponent*, std::int32_t count) {
      std::string bytes;
      port_.ReceiveText(bytes, count);
      Print(output_.Data(bytes));
    };
    port_.OnCTSChange = [this](CPort::TComponent*, bool on) { Line("CTS", cts_, on); };
    port_.OnDSRChange = [this](CPort::TComponent*, bool on) { Line("DSR", dsr_, on); };
    port_.OnRLSDChange = [this](CPort::TComponent*, bool on) { Line("RLSD", rlsd_, on); };
    port_.OnRing = [this](CPort::TComponent*) { Print(output_.Event("ring")); };
    port_.OnBreak = [this](CPort::TComponent*) { Print(output_.Event("break")); };
    port_.OnError = [this](CPort::TComponent*, CPort::TComErrors errors) {
      Print(output_.Event("line error: " + LineErrorsText(errors)));
    };
    port_.OnRx80Full = [this](CPort::TComponent*) { Print(output_.Event("input queue 80% full")); };
    CPort::Runtime::SetApplicationErrorDisplay([this](std::exception_ptr error, const void*) {
      if (!error_) error_ = std::move(error);
      loop_.Stop();
    });
  }
  // The port may outlive this object (and fire its close notifications
  // later): it must not call back into it.
  ~Monitor() {
    CPort::Runtime::SetApplicationErrorDisplay(nullptr);
    port_.OnRxChar = nullptr;
    port_.OnCTSChange = port_.OnDSRChange = port_.OnRLSDChange = nullptr;
    port_.OnRing = port_.OnBreak = port_.OnRx80Full = nullptr;
    port_.OnError = nullptr;
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Handlers stay quiet from here on: closing reports every line as off.
  void Silence() { silent_ = true; }
  const std::exception_ptr& Error() const { return error_; }
  int OutputError() const { return outputError_; }

 private:
  void Print(const std::string& text) {
    if (silent_ || text.empty()) return;
    if (!WriteAll(STDOUT_FILENO, text)) {
      outputError_ = errno;
      silent_ = true;
      loop_.Stop();
    }
  }
  // Only changes are shown; before the port opened every line was off.
  void Line(const char* name, bool& known, bool on) {
    if (on == known) return;
    known = on;
    Print(output_.Event(std::string(name) + (on ? " on" : " off")));
  }

  CPort::TComPort& port_;
  ConsoleLoop& loop_;
  MonitorOutput output_;
  bool cts_ = false, dsr_ = false, rlsd_ = false;
  bool silent_ = false;
  int outputError_ = 0;
  std::exception_ptr error_;
};

}  // namespace

int RunMonitor(const Args& args) {
  std::vector<OptionSpec> spec = {{"hex", false}, {"timestamps", false}, {"help", false}};
  for (const OptionSpec& option : LineOptionSpecs()) spec.push_back(option);
  const Arguments arguments = ParseArguments(args, spec);
  if (arguments.Has("help")) {
    PrintOut(Help());
    return kExitOk;
  }
  const LineOptions lineOptions = ParseLineOptions(arguments);
  RequirePositionals(arguments, {"PORT"});

  // Before the port starts its threads, which inherit the signal mask.
  ConsoleLoop loop;
  CPort::TComPort port;
  port.SetPort(arguments.Positionals()[0]);
  ApplyLineOptions(lineOptions, port);
  Monitor monitor(port, loop, arguments.Has("hex") ? MonitorMode::Hex : MonitorMode::Text, arguments.Has("timestamps"));
  port.OpenPort();
  PrintErr("Monitoring " + port.Port() + " (" + LineSettingsSummary(port) + "). Ctrl+C ends.\n");
  loop.Run();
  monitor.Silence();
  port.ClosePort();
  if (monitor.Error()) {
    PrintErr(DescribeError(monitor.Error()));
    return ExitCodeFor(monitor.Error());
  }
  // A reader that went away (monitor ... | head) is a normal end.
  if (monitor.OutputError() != 0 && monitor.OutputError() != EPIPE)
    throw FileError(std::string("cannot write the output: ") + std::strerror(monitor.OutputError()));
  return kExitOk;
}

}  // namespace KelvatPort
