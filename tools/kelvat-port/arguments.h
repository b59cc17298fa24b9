// The command line of one command: options (with or without a value) and
// positional arguments, in any order.
//
//   --name VALUE, --name=VALUE   an option with a value
//   --name                       a switch
//   --                           everything after it is positional
//
// A lone "-" is positional (it names standard input where a file is asked
// for). An option given twice keeps its last value.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace KelvatPort {

struct OptionSpec {
  std::string name;  // without the leading "--"
  bool takesValue = false;
};

class Arguments {
 public:
  bool Has(const std::string& name) const { return options_.count(name) != 0; }
  std::optional<std::string> Value(const std::string& name) const;
  const std::vector<std::string>& Positionals() const { return positionals_; }

 private:
  friend Arguments ParseArguments(const std::vector<std::string>&, const std::vector<OptionSpec>&);
  std::map<std::string, std::string> options_;
  std::vector<std::string> positionals_;
};

// Raises UsageError for an option not in `spec`, a missing value, or a value
// given to a switch. "-h" is read as "--help" when `spec` has it.
Arguments ParseArguments(const std::vector<std::string>& args, const std::vector<OptionSpec>& spec);

// Raises UsageError unless there are exactly `names.size()` positionals;
// the message names the ones that are missing or surplus. A PORT or FILE
// may not be empty.
void RequirePositionals(const Arguments& arguments, const std::vector<std::string>& names);

}  // namespace KelvatPort
