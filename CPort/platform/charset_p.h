// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Conversion of a message catalog's texts from the character set its header
// names to UTF-8: iconv on POSIX, the system's code pages on Windows.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace CPort::I18n {

class ToUtf8 {
 public:
  explicit ToUtf8(const std::string& charset);
  ~ToUtf8();
  ToUtf8(const ToUtf8&) = delete;
  ToUtf8& operator=(const ToUtf8&) = delete;
  // False when the character set is unknown here.
  bool Valid() const;
  // Nothing when the text is not valid in the character set.
  std::optional<std::string> Convert(std::string_view text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace CPort::I18n
