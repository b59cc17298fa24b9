// Catalog texts to UTF-8 through iconv (see charset_p.h).
#include <iconv.h>

#include "charset_p.h"

namespace CPort::I18n {

struct ToUtf8::Impl {
  iconv_t cd;
};

ToUtf8::ToUtf8(const std::string& charset) : impl_(new Impl{iconv_open("UTF-8", charset.c_str())}) {}

ToUtf8::~ToUtf8() {
  if (Valid()) iconv_close(impl_->cd);
}

bool ToUtf8::Valid() const { return impl_->cd != reinterpret_cast<iconv_t>(-1); }

std::optional<std::string> ToUtf8::Convert(std::string_view text) {
  iconv(impl_->cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* to = out.data();
  std::size_t outLeft = out.size();
  if (iconv(impl_->cd, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace CPort::I18n
