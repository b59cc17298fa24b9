#include "mainUnit/ByteText.h"

#include <QList>
#include <QStringView>

namespace MainUnit {
namespace {

constexpr char16_t kNullSymbol = 0x2400;
constexpr char16_t kCrSymbol = 0x240D;
constexpr char16_t kLfSymbol = 0x240A;
constexpr char16_t kParagraphSeparator = 0x2029;
constexpr char16_t kLineSeparator = 0x2028;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Appends a typed character: Latin-1 byte when it has one, else UTF-8.
void AppendTyped(std::string& out, char32_t cp) {
  if (cp <= 0xFF)
    out += static_cast<char>(cp);
  else
    AppendUtf8(out, cp);
}

}  // namespace

QString BytesToBoxText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      text += QChar('\n');
      ++i;
    } else if (b == '\r') {
      text += QChar(kCrSymbol);
    } else if (b == '\n') {
      text += QChar(kLfSymbol);
    } else if (b == 0) {
      text += QChar(kNullSymbol);
    } else {
      text += QChar(static_cast<char16_t>(b));
    }
  }
  return text;
}

std::string BoxTextToBytes(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (const char32_t cp : text.toUcs4()) {
    switch (cp) {
      case U'\n':
      case kParagraphSeparator:
      case kLineSeparator:
        out += "\r\n";
        break;
      case kNullSymbol: out += '\0'; break;
      case kCrSymbol: out += '\r'; break;
      case kLfSymbol: out += '\n'; break;
      default: AppendTyped(out, cp); break;
    }
  }
  return out;
}

std::string TypedTextToBytes(const QString& text) {
  std::string out;
  for (const char32_t cp : text.toUcs4()) AppendTyped(out, cp);
  return out;
}

std::string FirstCharacterBytes(const QString& text) {
  if (text.isEmpty()) return {};
  const qsizetype length = (text.at(0).isHighSurrogate() && text.size() > 1) ? 2 : 1;
  return TypedTextToBytes(text.left(length));
}

}  // namespace MainUnit
