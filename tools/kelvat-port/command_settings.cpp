// kelvat-port settings save|load: a port's settings in an INI file or a
// registry store, through the port's own storage operations.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/storage/IniFile.h"
#include "CPort/storage/Registry.h"
#include "arguments.h"
#include "commands.h"
#include "error_report.h"
#include "exit_codes.h"
#include "line_options.h"
#include "process_setup.h"

namespace KelvatPort {

namespace {

const char* const kDefaultName = "ComPort1";
const char* const kRegistryRoot = "\\Software\\Kelvat\\";

std::string Help() {
  return std::string(
             "Usage: kelvat-port settings save [options] PORT FILE\n"
             "       kelvat-port settings load [options] PORT FILE\n"
             "\n"
             "save  stores the settings of PORT in FILE: the line settings given as\n"
             "      options, the defaults for everything else.\n"
             "load  reads the settings stored in FILE, applies them to PORT (opens it,\n"
             "      configures it and closes it again) and prints its line settings.\n"
             "      Line settings given as options override the stored ones. PORT is\n"
             "      used even where the file names another port.\n"
             "\n"
             "  --format KIND  ini: an INI file; registry: a registry store (an SQLite\n"
             "                 database). Default: by FILE's ending, .ini for ini,\n"
             "                 .db, .sqlite or .reg for registry.\n"
             "  --name NAME    the port's name in the store: the INI section, or the\n"
             "                 registry key \\Software\\Kelvat\\NAME (default ") +
         kDefaultName +
         ")\n"
         "  --groups LIST  which settings, comma-separated: line, flowcontrol, buffer,\n"
         "                 timeouts, parity, other, or all (default line)\n"
         "  --help         this text\n"
         "\n" +
         LineOptionsHelp() + "\n" + kExitStatusHelp;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsRegistryFile(const Arguments& arguments, const std::string& file) {
  if (const auto format = arguments.Value("format")) {
    const std::string kind = Lower(*format);
    if (kind == "ini") return false;
    if (kind == "registry") return true;
    throw UsageError("--format '" + *format + "' is not one of ini, registry");
  }
  const std::string name = Lower(file);
  if (EndsWith(name, ".ini")) return false;
  if (EndsWith(name, ".db") || EndsWith(name, ".sqlite") || EndsWith(name, ".reg")) return true;
  throw UsageError("cannot tell the kind of store from the name '" + file +
                   "'; give --format ini or --format registry");
}

// A registry store is a file only where the library keeps it in SQLite; on
// Windows it is the system's registry, which this command does not address.
bool IsRegistry(const Arguments& arguments, const std::string& file) {
  const bool registry = IsRegistryFile(arguments, file);
  if (registry && !RegistryStoreIsAFile())
    throw UsageError("the registry format is a store file of the Linux build; on Windows use --format ini");
  return registry;
}

CPort::TSavedGroups ParseGroups(const std::string& list) {
  static const std::pair<const char*, CPort::TSavedGroup> names[] = {
      {"line", CPort::sgLine},         {"flowcontrol", CPort::sgFlowControl}, {"buffer", CPort::sgBuffer},
      {"timeouts", CPort::sgTimeouts}, {"parity", CPort::sgParity},           {"other", CPort::sgOther}};
  CPort::TSavedGroups groups;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = Lower(list.substr(start, end - start));
    bool known = false;
    for (const auto& [name, group] : names) {
      if (item == name || item == "all") {
        groups.Include(group);
        known = true;
      }
    }
    if (!known)
      throw UsageError("--groups: '" + item +
                       "' is not one of line, flowcontrol, buffer, timeouts, parity, other, all");
    start = end + 1;
  }
  return groups;
}

bool FileExists(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) return true;
  if (errno == ENOENT) return false;
  throw FileError("cannot look at " + file + ": " + std::strerror(errno));
}

// Settings live in regular files only. The stores refuse anything else
// themselves; here the user learns what the name is instead.
void RequireRegularFile(const std::string& file, const char* action) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_type type = fs::status(file, error).type();
  if (error || type == fs::file_type::regular || type == fs::file_type::not_found) return;
  const char* kind = type == fs::file_type::directory   ? "a directory"
                     : type == fs::file_type::fifo      ? "a FIFO"
                     : type == fs::file_type::socket    ? "a socket"
                     : type == fs::file_type::character ? "a character device"
                     : type == fs::file_type::block     ? "a block device"
                                                        : "not a file";
  throw FileError(std::string("cannot ") + action + " " + file + ": it is " + kind +
                  ", and settings are kept only in regular files");
}

// The store's own errors do not say which file they concern.
[[noreturn]] void RethrowNamingTheFile(const std::string& file) {
  try {
    throw;
  } catch (const CPort::EComPort& e) {
    if (e.PortErrorCode() != CPort::PortErr::StoreFailed && e.PortErrorCode() != CPort::PortErr::LoadFailed) throw;
    throw FileError(std::string(e.what()) + "\n  file: " + file + "\n  system: " + e.OsErrorText());
  } catch (const CPort::ERegistryException& e) {
    throw FileError(std::string(e.what()) + "\n  file: " + file);
  }
}

void SaveTo(CPort::TComPort& port, const std::string& file, bool registry) {
  if (!registry) {
    CPort::TIniFile ini(file);
    port.SaveSettingsToIni(ini);
    return;
  }
  CPort::TRegistry store(file);
  const std::string key = kRegistryRoot + port.Name();
  if (!store.OpenKey(key, true)) throw FileError("cannot create the key " + key + " in " + file);
  port.SaveSettingsToRegistry(store);
}

// Loading from a store that has no settings would quietly change nothing
// (INI) or reset everything to the fallbacks (registry); both are refused.
void LoadFrom(CPort::TComPort& port, const std::string& file, bool registry) {
  if (!FileExists(file)) throw FileError(file + " does not exist");
  if (!registry) {
    CPort::TIniFile ini(file);
    if (!ini.SectionExists(port.Name())) throw FileError(file + " has no section [" + port.Name() + "]");
    port.LoadSettingsFromIni(ini);
    return;
  }
  CPort::TRegistry store(file);
  const std::string key = kRegistryRoot + port.Name();
  if (!store.OpenKey(key, false)) throw FileError(file + " has no key " + key);
  port.LoadSettingsFromRegistry(store);
}

void Save(CPort::TComPort& port, const std::string& file, bool registry) {
  RequireRegularFile(file, "save settings to");
  try {
    SaveTo(port, file, registry);
  } catch (...) {
    RethrowNamingTheFile(file);
  }
}

void Load(CPort::TComPort& port, const std::string& file, bool registry) {
  RequireRegularFile(file, "load settings from");
  try {
    LoadFrom(port, file, registry);
  } catch (...) {
    RethrowNamingTheFile(file);
  }
}

}  // namespace

int RunSettings(const Args& args) {
  std::vector<OptionSpec> spec = {{"format", true}, {"name", true}, {"groups", true}, {"help", false}};
  for (const OptionSpec& option : LineOptionSpecs()) spec.push_back(option);
  const Arguments arguments = ParseArguments(args, spec);
  if (arguments.Has("help")) {
    PrintOut(Help());
    return kExitOk;
  }
  const LineOptions lineOptions = ParseLineOptions(arguments);
  RequirePositionals(arguments, {"save|load", "PORT", "FILE"});
  const std::string& action = arguments.Positionals()[0];
  const std::string& portName = arguments.Positionals()[1];
  const std::string& file = arguments.Positionals()[2];
  if (action != "save" && action != "load") throw UsageError("'" + action + "' is neither save nor load");
  const bool registry = IsRegistry(arguments, file);
  const std::string name = arguments.Value("name").value_or(kDefaultName);
  if (name.empty()) throw UsageError("--name may not be empty");

  CPort::TComPort port;
  port.SetName(name);
  port.SetSavedGroups(ParseGroups(arguments.Value("groups").value_or("line")));
  port.SetPort(portName);
  if (action == "save") {
    ApplyLineOptions(lineOptions, port);
    Save(port, file, registry);
    return kExitOk;
  }
  // Loaded with the port closed: a stored port name that differs would
  // otherwise reopen the port on a device nobody asked for.
  Load(port, file, registry);
  if (port.Port() != portName) {
    if (port.SavedGroups().Contains(CPort::sgLine))
      PrintErr("Note: " + file + " was stored for port " + (port.Port().empty() ? "(none)" : port.Port()) +
               "; applying it to " + portName + ".\n");
    port.SetPort(portName);
  }
  ApplyLineOptions(lineOptions, port);
  port.SetEvents({});  // only configuring: no event thread
  try {
    port.OpenPort();
  } catch (const CPort::EComPort&) {
    // A stored setting the device refuses: say where it came from.
    PrintErr(DescribeError(std::current_exception()) + "  settings: loaded from " + file + "\n");
    return ExitCodeFor(std::current_exception());
  }
  port.ClosePort();
  PrintOut(port.Port() + ": " + LineSettingsSummary(port) + "\n");
  return kExitOk;
}

}  // namespace KelvatPort
