#include "CPort/storage/IniFile.h"

#include <cerrno>
#include <string_view>

// Only the byte-string flavour is used: values are 8-bit texts and pass
// through unconverted, so no character conversion library is needed. The
// template bodies are compiled here (Debian's header keeps them behind
// SI_IMPLEMENTATION), so the library itself, with its ICU dependencies, is
// not linked.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "CPort/ComErrors.h"
#include "CPort/IntegerText.h"
#include "CPort/storage/atomic_file_p.h"
#include "CPort/storage/whole_file_p.h"

namespace CPort {

struct TIniFile::Impl {
  // "Key=Value" lines, as INI files are conventionally written.
  Impl() { ini.SetSpaces(false); }
  CSimpleIniA ini{false, false, false};
};

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasLineBreakOrZero(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

bool HasOuterBlanks(std::string_view text) { return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back())); }

// A name that would read back as something else, or break the lines around
// it, is refused before anything is stored.
void CheckSection(const std::string& section) {
  if (HasLineBreakOrZero(section) || section.find(']') != std::string::npos || HasOuterBlanks(section))
    throw EComPort(PortErr::StoreFailed, EINVAL);
}

void CheckKey(const std::string& key) {
  if (key.empty() || HasLineBreakOrZero(key) || key.find('=') != std::string::npos || HasOuterBlanks(key) ||
      key.front() == '[' || key.front() == ';' || key.front() == '#')
    throw EComPort(PortErr::StoreFailed, EINVAL);
}

// The file format trims blanks around a value and reads a value between
// double quotes without them; such values are quoted when stored.
bool IsQuoted(std::string_view value) { return value.size() >= 2 && value.front() == '"' && value.back() == '"'; }

std::string Encode(const std::string& value) {
  if (HasLineBreakOrZero(value)) throw EComPort(PortErr::StoreFailed, EINVAL);
  return (HasOuterBlanks(value) || IsQuoted(value)) ? '"' + value + '"' : value;
}

std::string Decode(std::string_view stored) {
  if (IsQuoted(stored)) stored = stored.substr(1, stored.size() - 2);
  return std::string(stored);
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)), impl_(std::make_unique<Impl>()) {
  const std::string content = Detail::ReadWholeFile(fileName_);
  // Parsing is lenient: lines that are neither a section, a key nor a comment
  // are skipped. Only a lack of memory fails.
  if (impl_->ini.LoadData(content.data(), content.size()) < 0) throw EComPort(PortErr::LoadFailed, ENOMEM);
}

TIniFile::~TIniFile() = default;

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) {
  const char* stored = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
  return stored == nullptr ? defaultValue : Decode(stored);
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue) {
  const char* stored = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
  if (stored == nullptr) return defaultValue;
  return ParseInt32(Decode(stored)).value_or(defaultValue);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  Store(section, key, value);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  Store(section, key, std::to_string(value));
}

void TIniFile::Store(const std::string& section, const std::string& key, const std::string& value) {
  CheckSection(section);
  CheckKey(key);
  const std::string stored = Encode(value);
  if (impl_->ini.SetValue(section.c_str(), key.c_str(), stored.c_str()) < 0) throw EComPort(PortErr::StoreFailed, ENOMEM);
  unsaved_ = true;
  if (updateDepth_ == 0) UpdateFile();
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  CSimpleIniA::TNamesDepend keys;
  impl_->ini.GetAllKeys(section.c_str(), keys);
  keys.sort(CSimpleIniA::Entry::LoadOrder());
  std::vector<std::string> names;
  for (const auto& entry : keys) names.emplace_back(entry.pItem);
  return names;
}

bool TIniFile::SectionExists(const std::string& section) const { return impl_->ini.SectionExists(section.c_str()); }

void TIniFile::UpdateFile() {
  std::string content;
  if (impl_->ini.Save(content) < 0) throw EComPort(PortErr::StoreFailed, ENOMEM);
  Detail::ReplaceFileContent(fileName_, content);
  unsaved_ = false;
}

void TIniFile::BeginUpdate() { ++updateDepth_; }

void TIniFile::EndUpdate(bool save) {
  if (updateDepth_ == 0) return;
  if (--updateDepth_ == 0 && save && unsaved_) UpdateFile();
}

}  // namespace CPort
