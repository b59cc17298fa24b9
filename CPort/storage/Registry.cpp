#include "CPort/storage/Registry.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "CPort/storage/settings_file_p.h"

namespace CPort {

namespace {

// Value types, numbered as the Windows registry numbers them so that a
// database dump reads familiarly.
constexpr int kTypeString = 1;
constexpr int kTypeExpandString = 2;
constexpr int kTypeInteger = 4;

constexpr int kBusyTimeoutMs = 5000;

// Values keep the row id of their first write (the upsert below updates in
// place), which is the order GetValueNames reports.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys ("
    "  path TEXT NOT NULL PRIMARY KEY COLLATE NOCASE);"
    "CREATE TABLE IF NOT EXISTS reg_values ("
    "  key TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB,"
    "  PRIMARY KEY (key, name));";

std::string Quoted(const std::string& format, const std::string& name) { return format + " '" + name + "'"; }

[[noreturn]] void FailSet(const std::string& name, int code) {
  throw ERegistryException(Quoted("Failed to set data for", name), code);
}
[[noreturn]] void FailGet(const std::string& name, int code = 0) {
  throw ERegistryException(Quoted("Failed to get data for", name), code);
}
[[noreturn]] void FailType(const std::string& name) { throw ERegistryException(Quoted("Invalid data type for", name)); }

// One prepared statement, finalized on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int Code() const { return rc_; }
  // Binds texts and blobs as given (byte strings are not required to be
  // valid UTF-8), integers as integers.
  Statement& Bind(int index, const std::string& text) {
    Keep(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const std::string& bytes) {
    Keep(sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, std::int64_t value) {
    Keep(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or the error code (the first failure of
  // preparing or binding wins).
  int Step() {
    if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW && rc_ != SQLITE_DONE) return rc_;
    rc_ = sqlite3_step(stmt_);
    return rc_;
  }
  sqlite3_stmt* Get() const { return stmt_; }

 private:
  void Keep(int rc) {
    if (rc_ == SQLITE_OK && rc != SQLITE_OK) rc_ = rc;
  }
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

// "a\\b\\" and "\\a\\\\b" both become "a\\b": empty segments are dropped.
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

}  // namespace

ERegistryException::ERegistryException(const std::string& message, int sqliteCode)
    : std::runtime_error(message), sqliteCode_(sqliteCode) {}

struct TRegistry::Impl {
  sqlite3* db = nullptr;
  ~Impl() { sqlite3_close_v2(db); }

  // Runs statements that return no rows; returns the SQLite result code.
  int Exec(const char* sql) const { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  bool KeyStored(const std::string& path) const {
    if (path.empty()) return true;  // the root always exists
    Statement s(db, "SELECT 1 FROM reg_keys WHERE path = ?1");
    s.Bind(1, path);
    const int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw ERegistryException(sqlite3_errstr(rc), rc);
    return rc == SQLITE_ROW;
  }
};

TRegistry::TRegistry(const std::string& databasePath) : impl_(std::make_unique<Impl>()) {
  // The database would open a device or FIFO as readily as a file, write its
  // journal beside it, and block on a FIFO: only a regular file (or a new
  // one) is taken.
  if (const int error = Detail::CheckSettingsPath(databasePath); error != 0) {
    const std::string reason = error == EINVAL ? "not a regular file" : std::strerror(error);
    throw ERegistryException("Cannot open the registry '" + databasePath + "': " + reason);
  }
  const int rc = sqlite3_open_v2(databasePath.c_str(), &impl_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                 nullptr);
  auto fail = [&](int code) {
    const std::string reason = impl_->db != nullptr ? sqlite3_errmsg(impl_->db) : sqlite3_errstr(code);
    throw ERegistryException("Cannot open the registry '" + databasePath + "': " + reason, code);
  };
  if (rc != SQLITE_OK) fail(rc);
  sqlite3_busy_timeout(impl_->db, kBusyTimeoutMs);
  if (const int schemaRc = impl_->Exec(kSchema); schemaRc != SQLITE_OK) fail(schemaRc);
}

TRegistry::~TRegistry() = default;

std::string TRegistry::Resolve(const std::string& key) const {
  if (!key.empty() && key.front() == '\\') return Normalise(key);
  return Normalise(current_ + '\\' + key);
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string path = Resolve(key);
  if (!impl_->KeyStored(path)) {
    if (!canCreate) return false;
    // The key and every missing parent, all or none; inside an update as a
    // part of its transaction.
    const bool inUpdate = updateDepth_ > 0;
    int rc = impl_->Exec(inUpdate ? "SAVEPOINT create_key" : "BEGIN IMMEDIATE");
    for (std::size_t end = 0; rc == SQLITE_OK && end != std::string::npos;) {
      end = path.find('\\', end + 1);
      Statement s(impl_->db, "INSERT OR IGNORE INTO reg_keys (path) VALUES (?1)");
      s.Bind(1, path.substr(0, end));
      rc = s.Step() == SQLITE_DONE ? SQLITE_OK : s.Code();
    }
    if (rc == SQLITE_OK) rc = impl_->Exec(inUpdate ? "RELEASE create_key" : "COMMIT");
    if (rc != SQLITE_OK) {
      impl_->Exec(inUpdate ? "ROLLBACK TO create_key; RELEASE create_key" : "ROLLBACK");
      throw ERegistryException("Cannot create the registry key '" + path + "': " + sqlite3_errstr(rc), rc);
    }
  }
  current_ = path;
  return true;
}

void TRegistry::CloseKey() { current_.clear(); }

bool TRegistry::KeyExists(const std::string& key) { return impl_->KeyStored(Resolve(key)); }

bool TRegistry::ValueExists(const std::string& name) {
  Statement s(impl_->db, "SELECT 1 FROM reg_values WHERE key = ?1 AND name = ?2");
  s.Bind(1, current_).Bind(2, name);
  const int rc = s.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) FailGet(name, rc);
  return rc == SQLITE_ROW;
}

std::vector<std::string> TRegistry::GetValueNames() {
  Statement s(impl_->db, "SELECT name FROM reg_values WHERE key = ?1 ORDER BY rowid");
  s.Bind(1, current_);
  std::vector<std::string> names;
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.Get(), 0));
    names.emplace_back(text, static_cast<std::size_t>(sqlite3_column_bytes(s.Get(), 0)));
  }
  if (rc != SQLITE_DONE) throw ERegistryException(sqlite3_errstr(rc), rc);
  return names;
}

bool TRegistry::DeleteValue(const std::string& name) {
  Statement s(impl_->db, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2");
  s.Bind(1, current_).Bind(2, name);
  const int rc = s.Step();
  if (rc != SQLITE_DONE) throw ERegistryException(Quoted("Cannot delete", name), rc);
  return sqlite3_changes(impl_->db) > 0;
}

namespace {

constexpr const char* kUpsert =
    "INSERT INTO reg_values (key, name, type, data) VALUES (?1, ?2, ?3, ?4) "
    "ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data";

constexpr const char* kSelect = "SELECT type, data FROM reg_values WHERE key = ?1 AND name = ?2";

}  // namespace

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  // A reader stops at the first zero byte: such a text would read back as
  // something else, so it is refused as the INI file refuses it.
  if (value.find('\0') != std::string::npos) FailSet(name, 0);
  Statement s(impl_->db, kUpsert);
  s.Bind(1, current_).Bind(2, name).Bind(3, std::int64_t{kTypeString}).BindBlob(4, value);
  if (s.Step() != SQLITE_DONE) FailSet(name, s.Code());
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  Statement s(impl_->db, kUpsert);
  s.Bind(1, current_).Bind(2, name).Bind(3, std::int64_t{kTypeInteger}).Bind(4, std::int64_t{value});
  if (s.Step() != SQLITE_DONE) FailSet(name, s.Code());
}

std::string TRegistry::ReadString(const std::string& name) {
  Statement s(impl_->db, kSelect);
  s.Bind(1, current_).Bind(2, name);
  const int rc = s.Step();
  if (rc == SQLITE_DONE) return {};
  if (rc != SQLITE_ROW) FailGet(name, rc);
  const int type = sqlite3_column_int(s.Get(), 0);
  if (type != kTypeString && type != kTypeExpandString) FailType(name);
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s.Get(), 1));
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s.Get(), 1));
  if (bytes == nullptr) return {};
  return std::string(bytes, strnlen(bytes, size));
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
  Statement s(impl_->db, kSelect);
  s.Bind(1, current_).Bind(2, name);
  const int rc = s.Step();
  if (rc == SQLITE_DONE) FailGet(name);
  if (rc != SQLITE_ROW) FailGet(name, rc);
  if (sqlite3_column_int(s.Get(), 0) != kTypeInteger) FailType(name);
  if (sqlite3_column_type(s.Get(), 1) != SQLITE_INTEGER) FailGet(name);
  // Another program may have stored the 32 bits unsigned; anything wider
  // does not fit.
  const std::int64_t value = sqlite3_column_int64(s.Get(), 1);
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::uint32_t>::max())
    FailGet(name);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

void TRegistry::BeginUpdate() {
  if (updateDepth_ == 0) {
    // IMMEDIATE takes the write lock now, so the writes inside cannot fail
    // for another writer half-way.
    if (const int rc = impl_->Exec("BEGIN IMMEDIATE"); rc != SQLITE_OK)
      throw ERegistryException(std::string("Cannot start an update: ") + sqlite3_errstr(rc), rc);
    updateAbandoned_ = false;
  }
  ++updateDepth_;
}

void TRegistry::EndUpdate(bool commit) {
  if (updateDepth_ == 0) return;
  if (!commit) updateAbandoned_ = true;
  if (--updateDepth_ > 0) return;
  if (!updateAbandoned_) {
    const int rc = impl_->Exec("COMMIT");
    if (rc == SQLITE_OK) return;
    impl_->Exec("ROLLBACK");
    throw ERegistryException(std::string("Cannot store the update: ") + sqlite3_errstr(rc), rc);
  }
  impl_->Exec("ROLLBACK");
}

}  // namespace CPort
