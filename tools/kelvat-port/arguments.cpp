#include "arguments.h"

#include <algorithm>

#include "exit_codes.h"

namespace KelvatPort {

std::optional<std::string> Arguments::Value(const std::string& name) const {
  const auto it = options_.find(name);
  if (it == options_.end()) return std::nullopt;
  return it->second;
}

Arguments ParseArguments(const std::vector<std::string>& args, const std::vector<OptionSpec>& spec) {
  auto find = [&](const std::string& name) {
    return std::find_if(spec.begin(), spec.end(), [&](const OptionSpec& o) { return o.name == name; });
  };
  Arguments result;
  bool onlyPositionals = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyPositionals || arg.size() < 2 || arg[0] != '-') {
      result.positionals_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositionals = true;
      continue;
    }
    if (arg == "-h" && find("help") != spec.end()) {
      result.options_["help"] = "";
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw UsageError("unknown option '" + arg + "'");
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const auto option = find(name);
    if (option == spec.end()) throw UsageError("unknown option '--" + name + "'");
    if (!option->takesValue) {
      if (equals != std::string::npos) throw UsageError("option '--" + name + "' takes no value");
      result.options_[name] = "";
    } else if (equals != std::string::npos) {
      result.options_[name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      result.options_[name] = args[++i];
    } else {
      throw UsageError("option '--" + name + "' needs a value");
    }
  }
  return result;
}

void RequirePositionals(const Arguments& arguments, const std::vector<std::string>& names) {
  const auto& given = arguments.Positionals();
  if (given.size() < names.size()) {
    std::string missing;
    for (std::size_t i = given.size(); i < names.size(); ++i) missing += (missing.empty() ? "" : " ") + names[i];
    throw UsageError("missing " + missing);
  }
  if (given.size() > names.size()) throw UsageError("unexpected argument '" + given[names.size()] + "'");
  // An empty name would fail later with a system error that names nothing.
  for (std::size_t i = 0; i < names.size(); ++i)
    if ((names[i] == "PORT" || names[i] == "FILE") && given[i].empty()) throw UsageError(names[i] + " may not be empty");
}

}  // namespace KelvatPort
