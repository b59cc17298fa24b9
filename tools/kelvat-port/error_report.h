// How kelvat-port shows an error: the message, then what else is known (the
// device, the system's own text, advice), one item per line.
#pragma once

#include <exception>
#include <string>

namespace KelvatPort {

// The lines to print for `error` (each ending in a newline), starting with
// "kelvat-port: ".
std::string DescribeError(const std::exception_ptr& error);

// The exit status that fits `error` (see exit_codes.h).
int ExitCodeFor(const std::exception_ptr& error);

}  // namespace KelvatPort
