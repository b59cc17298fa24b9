// Catalog texts to UTF-8 through the system's code pages (see charset_p.h).
#include <algorithm>
#include <cctype>

#include "charset_p.h"
#include "win_comm.h"

namespace CPort::I18n {

namespace {

// The character sets catalogs name in practice, by their code page.
UINT CodePageOf(std::string charset) {
  std::transform(charset.begin(), charset.end(), charset.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static const struct {
    const char* name;
    UINT codePage;
  } kKnown[] = {{"UTF-8", CP_UTF8},          {"UTF8", CP_UTF8},          {"ISO-8859-1", 28591},
                {"ISO-8859-2", 28592},       {"ISO-8859-5", 28595},      {"ISO-8859-7", 28597},
                {"ISO-8859-9", 28599},       {"ISO-8859-15", 28605},     {"LATIN1", 28591},
                {"KOI8-R", 20866},           {"KOI8-U", 21866},          {"CP1250", 1250},
                {"CP1251", 1251},            {"CP1252", 1252},           {"WINDOWS-1250", 1250},
                {"WINDOWS-1251", 1251},      {"WINDOWS-1252", 1252},     {"SHIFT_JIS", 932},
                {"EUC-JP", 20932},           {"GB2312", 936},            {"GBK", 936},
                {"BIG5", 950},               {"EUC-KR", 51949}};
  for (const auto& known : kKnown)
    if (charset == known.name) return known.codePage;
  return 0;
}

}  // namespace

struct ToUtf8::Impl {
  UINT codePage;
};

ToUtf8::ToUtf8(const std::string& charset) : impl_(new Impl{CodePageOf(charset)}) {}

ToUtf8::~ToUtf8() = default;

bool ToUtf8::Valid() const { return impl_->codePage != 0; }

std::optional<std::string> ToUtf8::Convert(std::string_view text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int wideCount = ::MultiByteToWideChar(impl_->codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (wideCount <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wideCount), L'\0');
  ::MultiByteToWideChar(impl_->codePage, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), wideCount);
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideCount, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideCount, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace CPort::I18n
