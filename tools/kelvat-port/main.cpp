// kelvat-port: the port library from the command line.
#include <cstring>
#include <exception>
#include <string>

#include "commands.h"
#include "error_report.h"
#include "exit_codes.h"
#include "process_setup.h"

namespace KelvatPort {

namespace {

const Command kCommands[] = {
    {"list", "list the serial ports present", RunList},
    {"monitor", "show what a port receives, and its line events", RunMonitor},
    {"send", "write bytes to a port", RunSend},
    {"settings", "save or load a port's settings (INI file or registry store)", RunSettings},
    {"term", "an interactive terminal on a port (keys to it, its output to the screen)", RunTerm},
};

std::string Overview() {
  std::string text =
      "Usage: kelvat-port COMMAND [options] [arguments]\n"
      "       kelvat-port COMMAND --help\n"
      "\n"
      "Commands:\n";
  for (const Command& command : kCommands) {
    std::string name = command.name;
    name.resize(10, ' ');
    text += "  " + name + command.summary + "\n";
  }
  text +=
      "\n"
      "PORT is a name from 'kelvat-port list' (ttyUSB0 is /dev/ttyUSB0) or a path.\n"
      "Errors go to standard error with the device, the system's own words and,\n"
      "where there is one, a hint.\n"
      "\n";
  return text + kExitStatusHelp;
}

// The command a help hint names: only one that exists.
std::string HelpTarget(int argc, char** argv) {
  if (argc < 2) return "";
  for (const Command& command : kCommands)
    if (std::strcmp(argv[1], command.name) == 0) return std::string(" ") + command.name;
  return "";
}

int Run(int argc, char** argv) {
  const Args all(argv + 1, argv + argc);
  if (all.empty()) {
    PrintErr(Overview());
    return kExitUsage;
  }
  const std::string& name = all.front();
  if (name == "--help" || name == "-h" || name == "help") {
    PrintOut(Overview());
    return kExitOk;
  }
  for (const Command& command : kCommands)
    if (name == command.name) return command.run(Args(all.begin() + 1, all.end()));
  throw UsageError("unknown command '" + name + "'");
}

}  // namespace

}  // namespace KelvatPort

int main(int argc, char** argv) {
  using namespace KelvatPort;
  PrepareProcess();
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    PrintErr("kelvat-port: " + std::string(e.what()) + "\nTry 'kelvat-port" + HelpTarget(argc, argv) + " --help'.\n");
    return kExitUsage;
  } catch (...) {
    PrintErr(DescribeError(std::current_exception()));
    return ExitCodeFor(std::current_exception());
  }
}
