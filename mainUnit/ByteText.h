// Byte strings and the texts the window shows.
//
// The received-text box holds bytes from the device. Each byte is shown as
// one character so that nothing is lost, in the box or in a saved file:
//  - CR LF is a line break;
//  - byte 0 is shown as U+2400 (SYMBOL FOR NULL), a lone CR as U+240D and a
//    lone LF as U+240A, so that they stay visible and distinct;
//  - every other byte is the Latin-1 character of the same code.
// BoxTextToBytes inverts this exactly: BoxTextToBytes(BytesToBoxText(b)) == b
// for every byte string b. Text the user types into the box maps back the
// same way; a typed character above U+00FF becomes its UTF-8 bytes.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace MainUnit {

QString BytesToBoxText(std::string_view bytes);
// Accepts the box's plain text ('\n' between lines) or its raw text
// (U+2029 between blocks).
std::string BoxTextToBytes(const QString& text);

// Text typed into an edit field as the bytes to send: characters up to
// U+00FF as their Latin-1 byte, any other character as its UTF-8 bytes.
std::string TypedTextToBytes(const QString& text);
// The bytes of the first character of `text`; empty for an empty text.
std::string FirstCharacterBytes(const QString& text);

}  // namespace MainUnit
