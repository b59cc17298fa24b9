// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// A compiled gettext message catalog (.mo), read into memory. The library
// reads its catalogs itself, so that choosing a language never touches the
// process's locale or environment, and a lookup reads nothing but this object.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace CPort::I18n {

class MessageCatalog {
 public:
  // Reads the catalog at `path`; nothing when the file is missing, unreadable
  // or not a well-formed catalog. Translations come back as UTF-8.
  static std::optional<MessageCatalog> Load(const std::string& path);
  // Parses a catalog held in memory (the bytes of a .mo file).
  static std::optional<MessageCatalog> Parse(std::string_view bytes);

  // The translation of `msgid`, or null when the catalog has none.
  const std::string* Find(const std::string& msgid) const;
  std::size_t Size() const { return translations_.size(); }

 private:
  std::unordered_map<std::string, std::string> translations_;
};

}  // namespace CPort::I18n
