// kelvat-port send: write bytes to a port.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "CPort/ComPort.h"
#include "arguments.h"
#include "commands.h"
#include "escapes.h"
#include "exit_codes.h"
#include "line_options.h"
#include "process_setup.h"

namespace KelvatPort {

namespace {

constexpr std::int32_t kDefaultTimeoutMs = 5000;

std::string Help() {
  return "Usage: kelvat-port send [options] PORT DATA\n"
         "       kelvat-port send [options] --file FILE PORT\n"
         "\n"
         "Writes bytes to PORT and waits until the device has taken them.\n"
         "DATA is text with C escapes (\\n \\r \\t \\\\ \\xHH \\ooo ...); put -- before a\n"
         "DATA that begins with '-'.\n"
         "\n"
         "  --hex          DATA is hex bytes: \"48 65 6c\", \"48656c\", \"48:65:6c\"\n"
         "  --file FILE    send the bytes of FILE as they are (- for standard input)\n"
         "  --lf, --cr, --crlf\n"
         "                 append a line feed, a carriage return, or both\n"
         "  --timeout MS   give up when the device has not taken the bytes this long\n"
         "                 after the line needs to send them (default " +
         std::to_string(kDefaultTimeoutMs) +
         "; 0: wait as long as it takes)\n"
         "  --help         this text\n"
         "\n" +
         LineOptionsHelp() + "\n" + kExitStatusHelp;
}

std::string ReadAll(const std::string& file) {
  const bool standardInput = file == "-";
  const int fd = standardInput ? STDIN_FILENO : OpenForReading(file);
  if (fd < 0) throw FileError("cannot open " + file + ": " + std::strerror(errno));
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
      if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        if (!standardInput) ::close(fd);
        throw FileError(file + " is larger than 2 GiB");
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = errno;
    if (!standardInput) ::close(fd);
    if (n < 0) throw FileError("cannot read " + file + ": " + std::strerror(error));
    return data;
  }
}

std::int32_t ParseTimeout(const std::string& text) {
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > std::numeric_limits<std::int32_t>::max() / 10) {
      throw UsageError("--timeout '" + text + "' is not a number of milliseconds");
    }
    value = value * 10 + (c - '0');
  }
  if (text.empty() || value > std::numeric_limits<std::int32_t>::max())
    throw UsageError("--timeout '" + text + "' is not a number of milliseconds");
  return static_cast<std::int32_t>(value);
}

}  // namespace

int RunSend(const Args& args) {
  std::vector<OptionSpec> spec = {{"hex", false},  {"file", true},    {"lf", false},  {"cr", false},
                                  {"crlf", false}, {"timeout", true}, {"help", false}};
  for (const OptionSpec& option : LineOptionSpecs()) spec.push_back(option);
  const Arguments arguments = ParseArguments(args, spec);
  if (arguments.Has("help")) {
    PrintOut(Help());
    return kExitOk;
  }
  const LineOptions lineOptions = ParseLineOptions(arguments);
  const std::int32_t timeout = ParseTimeout(arguments.Value("timeout").value_or(std::to_string(kDefaultTimeoutMs)));
  if (int(arguments.Has("lf")) + int(arguments.Has("cr")) + int(arguments.Has("crlf")) > 1)
    throw UsageError("give only one of --lf, --cr and --crlf");

  std::string data;
  if (const auto file = arguments.Value("file")) {
    if (arguments.Has("hex")) throw UsageError("--hex and --file cannot be combined: a file is sent as it is");
    RequirePositionals(arguments, {"PORT"});
    data = ReadAll(*file);
  } else {
    RequirePositionals(arguments, {"PORT", "DATA"});
    const std::string& text = arguments.Positionals()[1];
    data = arguments.Has("hex") ? ParseHex(text) : ParseEscapes(text);
  }
  if (arguments.Has("lf")) data += '\n';
  if (arguments.Has("cr")) data += '\r';
  if (arguments.Has("crlf")) data += "\r\n";
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw UsageError("the data is larger than 2 GiB");

  CPort::TComPort port;
  port.SetPort(arguments.Positionals()[0]);
  ApplyLineOptions(lineOptions, port);
  port.SetEvents({});  // nothing to watch: no event thread
  LimitWriteTime(port, static_cast<std::int64_t>(data.size()), timeout);
  port.OpenPort();
  const std::int32_t sent = port.SendText(data);
  port.ClosePort();
  if (sent < static_cast<std::int32_t>(data.size())) {
    PrintErr("kelvat-port: only " + std::to_string(sent) + " of " + std::to_string(data.size()) +
             " bytes were sent: the device took no more within the time limit (flow control holding it back?)\n"
             "  device: " +
             port.Port() + "\n");
    return kExitPortFailed;
  }
  return kExitOk;
}

}  // namespace KelvatPort
