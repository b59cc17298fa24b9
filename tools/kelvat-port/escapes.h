// The byte forms a user can type for `send`: C-style escapes and hex.
#pragma once

#include <string>
#include <string_view>

namespace KelvatPort {

// Text with C escapes: \\ \" \' \? \a \b \e \f \n \r \t \v, \xH or \xHH
// (one byte), \o to \ooo (octal, one byte, at most \377). Raises UsageError
// for an unknown escape, a backslash at the end, \x without a digit or an
// octal value above 255.
std::string ParseEscapes(std::string_view text);

// Bytes as hex pairs: "48656c", "48 65 6c", "48:65:6c", "0x48,0x65". Blanks,
// ':', ',' and '-' separate groups; a group may begin with 0x and holds an
// even number of digits. Raises UsageError otherwise.
std::string ParseHex(std::string_view text);

}  // namespace KelvatPort
