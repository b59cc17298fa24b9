// Whole numbers typed by the user.
#pragma once

#include <QString>
#include <cstdint>

namespace MainUnit {

// Reads a signed 32-bit whole number in the library's integer syntax
// (CPort/IntegerText.h: leading blanks, an optional sign, decimal digits or
// hexadecimal ones after "$", "x" or "0x"), raising EConvertError
// "'<text>' is not a valid integer value" for any other text or a number out
// of range.
std::int32_t StrToInt(const QString& text);

}  // namespace MainUnit
