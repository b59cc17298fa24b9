// Whole numbers in text: the one integer syntax of the library and the
// program, shared by character texts ("#$41"), INI integers and the numbers a
// user types. Optional leading blanks (spaces, tabs), an optional sign, then
// decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X".
// Nothing may follow the digits. A decimal number must fit a signed 32-bit
// integer, a hexadecimal one 32 bits (so "$FFFFFFFF" is -1). Any other text,
// or a number out of range, gives nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace CPort {

std::optional<std::int32_t> ParseInt32(std::string_view text);

}  // namespace CPort
