#include "CPort/message_catalog_p.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "CPort/platform/charset_p.h"

namespace CPort::I18n {
namespace {

// Catalogs are a few kilobytes; a file far beyond that is not one of ours.
constexpr std::size_t kMaxCatalogBytes = 16 * 1024 * 1024;
constexpr std::uint32_t kMagic = 0x950412de;
constexpr std::uint32_t kMagicSwapped = 0xde120495;

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool Word(std::size_t offset, std::uint32_t& out) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return false;
    std::uint32_t w;
    std::memcpy(&w, bytes_.data() + offset, 4);
    out = swapped_ ? __builtin_bswap32(w) : w;
    return true;
  }
  // The string described by the (length, offset) pair at `entry`.
  bool String(std::size_t entry, std::string_view& out) const {
    std::uint32_t length = 0, offset = 0;
    if (!Word(entry, length) || !Word(entry + 4, offset)) return false;
    if (offset > bytes_.size() || bytes_.size() - offset < length) return false;
    out = bytes_.substr(offset, length);
    return true;
  }
  void SetSwapped(bool swapped) { swapped_ = swapped; }

 private:
  std::string_view bytes_;
  bool swapped_ = false;
};

// Up to the first NUL: a plural entry holds its forms one after another.
std::string_view FirstPart(std::string_view s) { return s.substr(0, s.find('\0')); }

// The charset the header names, upper-cased; empty when it names none.
std::string HeaderCharset(std::string_view header) {
  const std::string_view key = "charset=";
  const auto at = header.find(key);
  if (at == std::string_view::npos) return {};
  std::string_view rest = header.substr(at + key.size());
  rest = rest.substr(0, rest.find_first_of(" ;\n"));
  std::string charset(rest);
  for (char& c : charset)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return charset;
}

bool IsUtf8(const std::string& charset) {
  // "CHARSET" is what an unfilled header says; such a catalog is taken as is.
  return charset.empty() || charset == "UTF-8" || charset == "UTF8" || charset == "CHARSET" ||
         charset == "ASCII" || charset == "US-ASCII";
}


}  // namespace

std::optional<MessageCatalog> MessageCatalog::Parse(std::string_view bytes) {
  Reader reader(bytes);
  std::uint32_t magic = 0;
  if (!reader.Word(0, magic)) return std::nullopt;
  if (magic == kMagicSwapped)
    reader.SetSwapped(true);
  else if (magic != kMagic)
    return std::nullopt;
  std::uint32_t revision = 0, count = 0, originals = 0, translations = 0;
  if (!reader.Word(4, revision) || !reader.Word(8, count) || !reader.Word(12, originals) ||
      !reader.Word(16, translations))
    return std::nullopt;
  if ((revision >> 16) > 1) return std::nullopt;
  if (count > bytes.size() / 8) return std::nullopt;

  MessageCatalog catalog;
  std::string charset;
  std::unique_ptr<ToUtf8> converter;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string_view original, translation;
    if (!reader.String(originals + std::size_t{i} * 8, original) ||
        !reader.String(translations + std::size_t{i} * 8, translation))
      return std::nullopt;
    if (original.empty()) {
      charset = HeaderCharset(translation);
      if (!IsUtf8(charset)) {
        converter = std::make_unique<ToUtf8>(charset);
        if (!converter->Valid()) return std::nullopt;
      }
      continue;
    }
    const std::string_view text = FirstPart(translation);
    if (text.empty()) continue;
    std::string key(FirstPart(original));
    if (converter) {
      auto converted = converter->Convert(text);
      if (!converted) continue;
      catalog.translations_.emplace(std::move(key), std::move(*converted));
    } else {
      catalog.translations_.emplace(std::move(key), std::string(text));
    }
  }
  return catalog;
}

std::optional<MessageCatalog> MessageCatalog::Load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.append(chunk, static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > kMaxCatalogBytes) return std::nullopt;
  }
  if (file.bad()) return std::nullopt;
  return Parse(bytes);
}

const std::string* MessageCatalog::Find(const std::string& msgid) const {
  const auto it = translations_.find(msgid);
  return it == translations_.end() ? nullptr : &it->second;
}

}  // namespace CPort::I18n
