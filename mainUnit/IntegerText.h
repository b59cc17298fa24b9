// Whole numbers typed by the user.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace MainUnit {

// Reads a signed 32-bit whole number: leading blanks, an optional sign, then
// decimal digits, or hexadecimal digits after "$", "0x" or "0X". Nothing may
// follow. Gives nothing for any other text or a number out of range.
std::optional<std::int32_t> ParseInt32(const QString& text);

// The same, raising EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(const QString& text);

}  // namespace MainUnit
