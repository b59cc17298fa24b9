// kelvat-port term: an interactive terminal on a port.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CPort/ComPort.h"
#include "arguments.h"
#include "byte_maps.h"
#include "command_keys.h"
#include "commands.h"
#include "console_loop.h"
#include "error_report.h"
#include "exit_codes.h"
#include "line_options.h"
#include "raw_console.h"
#include "term_session.h"

namespace KelvatPort {

namespace {

// How long a write may wait beyond the time the line needs for its bytes
// before the rest is given up (flow control holding the device back).
constexpr std::int32_t kWriteSlackMs = 2000;

std::string Help() {
  return "Usage: kelvat-port term [options] PORT\n"
         "\n"
         "An interactive terminal: the keys typed go to PORT as they are, and what\n"
         "PORT sends shows as it comes, byte for byte (the console is in raw mode\n"
         "until the end; Ctrl+C goes to the device). Line events and errors show\n"
         "in brackets on lines of their own. PORT may also be rfc2217://HOST:PORT or\n"
         "socket://HOST:PORT.\n"
         "\n"
         "Command keys (Ctrl+T, then one key):\n" +
         CommandKeyHelp(0x14, "\n") +
         "\n"
         "When the device goes away the session waits for that same device to\n"
         "come back and goes on with its settings, log and modes.\n"
         "\n"
         "When standard input is not a terminal (a pipe, a file), its bytes are\n"
         "sent as they are (no command keys) and the command ends once all of them\n"
         "have left; what the device sends meanwhile is shown.\n"
         "\n"
         "  --echo          show what is typed (local echo)\n"
         "  --hex           show the device's bytes in hex, 16 a line\n"
         "  --timestamps    begin each line with the time it came (HH:MM:SS.mmm)\n"
         "  --log FILE      append what the device sends (as shown) to FILE, after\n"
         "                  a header line\n" +
         ByteMapsHelp() +
         "  --command-key KEY\n"
         "                 the command key instead of Ctrl+T: ctrl-a, C-], ^B ...\n"
         "  --no-reconnect  end (status 1) when the device goes away\n"
         "  --help          this text\n"
         "\n" +
         LineOptionsHelp() +
         "DTR and RTS are switched on at the start (RTS stays with hardware flow\n"
         "control when --flow Hardware).\n"
         "\n" +
         kExitStatusHelp + "  A stop signal (SIGTERM, SIGHUP, SIGINT) ends term with status 0.\n";
}

std::int32_t MillisecondsPerByte(const CPort::TCustomComPort& port) {
  const std::int32_t rate =
      port.BaudRate() == CPort::brCustom ? port.CustomBaudRate() : CPort::kBaudRateValues[port.BaudRate()];
  if (rate <= 0) return 1;
  return static_cast<std::int32_t>((11000 + rate - 1) / rate);
}

}  // namespace

int RunTerm(const Args& args) {
  std::vector<OptionSpec> spec = {{"echo", false}, {"hex", false},         {"timestamps", false},   {"log", true},
                                  {"map", true},   {"command-key", true}, {"no-reconnect", false}, {"help", false}};
  for (const OptionSpec& option : LineOptionSpecs()) spec.push_back(option);
  const Arguments arguments = ParseArguments(args, spec);
  if (arguments.Has("help")) {
    PrintOut(Help());
    return kExitOk;
  }
  const LineOptions lineOptions = ParseLineOptions(arguments);
  TermOptions options;
  if (const auto key = arguments.Value("command-key")) options.commandKey = ParseCommandKey(*key);
  if (const auto maps = arguments.Value("map")) options.maps = ParseByteMaps(*maps);
  options.echo = arguments.Has("echo");
  options.hex = arguments.Has("hex");
  options.timestamps = arguments.Has("timestamps");
  options.logPath = arguments.Value("log").value_or("");
  if (arguments.Value("log") && options.logPath.empty()) throw UsageError("--log needs a file name");
  RequirePositionals(arguments, {"PORT"});
  options.interactive = ::isatty(STDIN_FILENO) != 0;

  // Before the port starts its threads, which inherit the signal mask.
  ConsoleLoop loop;
  CPort::TComPort port;
  port.SetPort(arguments.Positionals()[0]);
  ApplyLineOptions(lineOptions, port);
  // As other terminals do: the device sees a terminal that is there.
  if (port.FlowControl().ControlDTR() == CPort::dtrDisable) port.FlowControl().SetControlDTR(CPort::dtrEnable);
  if (port.FlowControl().ControlRTS() == CPort::rtsDisable) port.FlowControl().SetControlRTS(CPort::rtsEnable);
  port.SetReconnect(!arguments.Has("no-reconnect"));
  port.Timeouts().SetWriteTotalMultiplier(MillisecondsPerByte(port));
  port.Timeouts().SetWriteTotalConstant(kWriteSlackMs);
  // What a driver may hold (a tty's output buffer) at the line's pace.
  options.drainLimit =
      std::chrono::milliseconds(static_cast<std::int64_t>(MillisecondsPerByte(port)) * 4096 + kWriteSlackMs);

  // Raw from here on; put back on every way out, an exception included (the
  // error is printed after the unwinding).
  RawConsole console(STDIN_FILENO);
  if (console.Active()) options.lineEnd = "\r\n";
  const std::string lineEnd = options.lineEnd;
  const bool interactive = options.interactive;
  const char commandKey = options.commandKey;
  int exitCode = kExitOk;
  {
    // Before the open, whose notifications report the input lines.
    TermSession session(port, loop, std::move(options));
    port.OpenPort();
    PrintErr("Connected to " + port.Port() + " (" + TermSettingsSummary(port) + ")." +
             (interactive ? " " + CommandKeyName(commandKey) + " q quits, " + CommandKeyName(commandKey) +
                                " ? lists the command keys."
                          : std::string()) +
             lineEnd);
    loop.WatchInput(STDIN_FILENO, [&] { session.ReadInput(); }, [&] { return session.WantsInput(); });
    loop.Run();
    session.Silence();
    console.Restore();
    port.ClosePort();
    if (session.Error()) {
      PrintErr(DescribeError(session.Error()));
      exitCode = ExitCodeFor(session.Error());
    } else if (session.Undrained() && loop.TimedOut()) {
      PrintErr("kelvat-port: the device did not report the last bytes sent in time; closing may have cut them off\n"
               "  device: " + port.Port() + "\n");
      exitCode = kExitPortFailed;
    } else if (session.OutputError() != 0 && session.OutputError() != EPIPE) {
      throw FileError(std::string("cannot write the output: ") + std::strerror(session.OutputError()));
    }
  }
  return exitCode;
}

}  // namespace KelvatPort
