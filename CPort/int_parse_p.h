// The integer syntax shared by character texts and INI integers: optional
// leading blanks, an optional sign, then decimal digits, or hexadecimal digits
// after "$", "x", "X", "0x" or "0X". Nothing may follow the digits. A decimal
// number must fit a signed 32-bit integer, a hexadecimal one 32 bits (so
// "$FFFFFFFF" is -1).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace CPort::Detail {

std::optional<std::int32_t> ParseInt32(std::string_view text);

}  // namespace CPort::Detail
