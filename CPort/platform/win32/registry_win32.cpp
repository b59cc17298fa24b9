// TRegistry on Windows: the system's registry. The store's root is the key
// named by the constructor's argument under HKEY_CURRENT_USER (for example
// "Software\Kelvat\CommPort"); key paths are relative to it. Names match
// without regard to letter case, as the registry's do. Texts are stored as
// REG_SZ, converted from and to UTF-8; integers as REG_DWORD.
//
// An update (BeginUpdate ... EndUpdate) remembers what each write replaced
// and puts it back when the update is abandoned. The registry has no
// transactions of its own here, so unlike on POSIX a crash during an update
// can leave part of it stored.
#include <string>
#include <vector>

#include "CPort/storage/Registry.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort {

namespace {

using Platform::Utf8FromWide;
using Platform::WideFromUtf8;

std::string Quoted(const std::string& format, const std::string& name) { return format + " '" + name + "'"; }

[[noreturn]] void FailSet(const std::string& name, LSTATUS code) {
  throw ERegistryException(Quoted("Failed to set data for", name), static_cast<int>(code));
}
[[noreturn]] void FailGet(const std::string& name, LSTATUS code = 0) {
  throw ERegistryException(Quoted("Failed to get data for", name), static_cast<int>(code));
}
[[noreturn]] void FailType(const std::string& name) { throw ERegistryException(Quoted("Invalid data type for", name)); }

std::string Normalise(const std::string& path) {
  std::string out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out.append(path, start, end - start);
    }
    start = end + 1;
  }
  return out;
}

// A value as it was before an update wrote it.
struct Previous {
  std::wstring key;
  std::wstring name;
  bool existed = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

class Key {
 public:
  Key() = default;
  explicit Key(HKEY key) : key_(key) {}
  ~Key() { Close(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  Key& operator=(Key&& other) noexcept {
    if (this != &other) {
      Close();
      key_ = other.key_;
      other.key_ = nullptr;
    }
    return *this;
  }
  HKEY Get() const { return key_; }

 private:
  void Close() {
    if (key_ != nullptr) ::RegCloseKey(key_);
    key_ = nullptr;
  }
  HKEY key_ = nullptr;
};

}  // namespace

ERegistryException::ERegistryException(const std::string& message, int sqliteCode)
    : std::runtime_error(message), sqliteCode_(sqliteCode) {}

struct TRegistry::Impl {
  Key root;
  std::wstring rootPath;
  Key current;  // the current key's handle
  std::vector<Previous> undo;

  // The key at `path` below the root; nullptr (with the status) when absent.
  HKEY Open(const std::string& path, bool create, LSTATUS& status) const {
    HKEY key = nullptr;
    const std::wstring wide = WideFromUtf8(path);
    if (create)
      status = ::RegCreateKeyExW(root.Get(), wide.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    else
      status = ::RegOpenKeyExW(root.Get(), wide.c_str(), 0, KEY_READ | KEY_WRITE, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
  }

  void Remember(const std::string& currentPath, const std::wstring& name) {
    Previous p{WideFromUtf8(currentPath), name, false, 0, {}};
    DWORD bytes = 0;
    if (::RegQueryValueExW(current.Get(), name.c_str(), nullptr, &p.type, nullptr, &bytes) == ERROR_SUCCESS) {
      p.data.resize(bytes);
      p.existed = ::RegQueryValueExW(current.Get(), name.c_str(), nullptr, &p.type, p.data.data(), &bytes) ==
                  ERROR_SUCCESS;
      p.data.resize(bytes);
    }
    undo.push_back(std::move(p));
  }

  void RollBack() {
    for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
      HKEY key = nullptr;
      if (::RegOpenKeyExW(root.Get(), it->key.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS) continue;
      if (it->existed)
        ::RegSetValueExW(key, it->name.c_str(), 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
      else
        ::RegDeleteValueW(key, it->name.c_str());
      ::RegCloseKey(key);
    }
    undo.clear();
  }
};

TRegistry::TRegistry(const std::string& databasePath) : impl_(std::make_unique<Impl>()) {
  impl_->rootPath = WideFromUtf8(Normalise(databasePath));
  HKEY root = nullptr;
  const LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, impl_->rootPath.c_str(), 0, nullptr, 0,
                                           KEY_READ | KEY_WRITE, nullptr, &root, nullptr);
  if (status != ERROR_SUCCESS)
    throw ERegistryException("Cannot open the registry key 'HKEY_CURRENT_USER\\" + Normalise(databasePath) + "'",
                             static_cast<int>(status));
  impl_->root = Key(root);
  CloseKey();
}

TRegistry::~TRegistry() {
  if (updateDepth_ > 0) impl_->RollBack();
}

std::string TRegistry::Resolve(const std::string& key) const {
  if (!key.empty() && key.front() == '\\') return Normalise(key);
  return Normalise(current_ + '\\' + key);
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string path = Resolve(key);
  LSTATUS status = ERROR_SUCCESS;
  HKEY opened = impl_->Open(path, canCreate, status);
  if (opened == nullptr) {
    if (status == ERROR_FILE_NOT_FOUND && !canCreate) return false;
    throw ERegistryException("Cannot create the registry key '" + path + "'", static_cast<int>(status));
  }
  impl_->current = Key(opened);
  current_ = path;
  return true;
}

void TRegistry::CloseKey() {
  LSTATUS status = ERROR_SUCCESS;
  HKEY root = impl_->Open("", false, status);
  impl_->current = Key(root);
  current_.clear();
}

bool TRegistry::KeyExists(const std::string& key) {
  LSTATUS status = ERROR_SUCCESS;
  Key opened(impl_->Open(Resolve(key), false, status));
  return opened.Get() != nullptr;
}

bool TRegistry::ValueExists(const std::string& name) {
  const LSTATUS status =
      ::RegQueryValueExW(impl_->current.Get(), WideFromUtf8(name).c_str(), nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) FailGet(name, status);
  return status == ERROR_SUCCESS;
}

std::vector<std::string> TRegistry::GetValueNames() {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD length = static_cast<DWORD>(std::size(name));
    const LSTATUS status =
        ::RegEnumValueW(impl_->current.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) throw ERegistryException("Cannot list the values of '" + current_ + "'", status);
    names.push_back(Utf8FromWide({name, length}));
  }
  return names;
}

bool TRegistry::DeleteValue(const std::string& name) {
  const std::wstring wide = WideFromUtf8(name);
  if (updateDepth_ > 0) impl_->Remember(current_, wide);
  const LSTATUS status = ::RegDeleteValueW(impl_->current.Get(), wide.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status != ERROR_SUCCESS) throw ERegistryException(Quoted("Cannot delete", name), static_cast<int>(status));
  return true;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  const std::wstring wide = WideFromUtf8(name);
  if (updateDepth_ > 0) impl_->Remember(current_, wide);
  const std::wstring data = WideFromUtf8(value);
  const LSTATUS status = ::RegSetValueExW(impl_->current.Get(), wide.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(data.c_str()),
                                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) FailSet(name, status);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  const std::wstring wide = WideFromUtf8(name);
  if (updateDepth_ > 0) impl_->Remember(current_, wide);
  const DWORD data = static_cast<DWORD>(value);
  const LSTATUS status = ::RegSetValueExW(impl_->current.Get(), wide.c_str(), 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&data), sizeof data);
  if (status != ERROR_SUCCESS) FailSet(name, status);
}

std::string TRegistry::ReadString(const std::string& name) {
  const std::wstring wide = WideFromUtf8(name);
  DWORD type = 0;
  DWORD bytes = 0;
  LSTATUS status = ::RegQueryValueExW(impl_->current.Get(), wide.c_str(), nullptr, &type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  if (status != ERROR_SUCCESS) FailGet(name, status);
  if (type != REG_SZ && type != REG_EXPAND_SZ) FailType(name);
  std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
  status = ::RegQueryValueExW(impl_->current.Get(), wide.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                              &bytes);
  if (status != ERROR_SUCCESS) FailGet(name, status);
  data.resize(bytes / sizeof(wchar_t));
  // The text ends at its first zero.
  const auto zero = data.find(L'\0');
  if (zero != std::wstring::npos) data.resize(zero);
  return Utf8FromWide(data);
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD bytes = sizeof data;
  const LSTATUS status = ::RegQueryValueExW(impl_->current.Get(), WideFromUtf8(name).c_str(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(&data), &bytes);
  if (status == ERROR_FILE_NOT_FOUND) FailGet(name);
  if (status == ERROR_MORE_DATA) FailType(name);
  if (status != ERROR_SUCCESS) FailGet(name, status);
  if (type != REG_DWORD || bytes != sizeof data) FailType(name);
  return static_cast<std::int32_t>(data);
}

void TRegistry::BeginUpdate() {
  if (updateDepth_++ == 0) {
    updateAbandoned_ = false;
    impl_->undo.clear();
  }
}

void TRegistry::EndUpdate(bool commit) {
  if (updateDepth_ == 0) return;
  if (!commit) updateAbandoned_ = true;
  if (--updateDepth_ > 0) return;
  if (updateAbandoned_) impl_->RollBack();
  impl_->undo.clear();
}

}  // namespace CPort
