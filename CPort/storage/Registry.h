// TRegistry: a registry-like store of named string and 32-bit integer values
// under backslash-separated keys, kept in an SQLite database file. On
// Windows it is the system's registry: the constructor's argument names the
// store's root key under HKEY_CURRENT_USER ("Software\Kelvat\CommPort"),
// error codes are the system's, and an update is undone value by value
// rather than as one transaction (platform/win32/registry_win32.cpp).
//
// Every write is one SQLite transaction, so a crash leaves either the old or
// the new value; the writes of an update (BeginUpdate ... EndUpdate) form one
// transaction together. Several objects and programs may use one file at
// once: a writer waits up to five seconds for another one to finish before it
// fails.
// Key paths and value names match without regard to ASCII letter case.
//
// Thread safety: none; use an object from one thread at a time.
//
// Part of the storage library (kelvat::cport_storage). A port saves and loads
// its settings as values of the current key (TCustomComPort::
// SaveSettingsToRegistry and LoadSettingsFromRegistry).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace CPort {

// The errors of the registry layer.
class ERegistryException : public std::runtime_error {
 public:
  // `sqliteCode` is the database's result code, or 0 when the error is about
  // the stored data itself.
  explicit ERegistryException(const std::string& message, int sqliteCode = 0);
  int SqliteCode() const noexcept { return sqliteCode_; }

 private:
  int sqliteCode_;
};

class TRegistry {
 public:
  // Opens or creates the database. Raises ERegistryException when the file
  // cannot be opened or is not a registry database, and, before anything is
  // opened or created, when the path names something other than a regular
  // file (a device, FIFO, socket or directory, also behind a link).
  explicit TRegistry(const std::string& databasePath);
  virtual ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  // Makes `key` the current key: a path starting with "\" from the root,
  // any other relative to the current key. A missing key is created (with
  // its parents) when `canCreate`; otherwise false is returned and the
  // current key stays. Raises ERegistryException when the database fails.
  bool OpenKey(const std::string& key, bool canCreate);
  // Back to the root key.
  void CloseKey();
  // The current key's path without leading "\" (empty for the root).
  const std::string& CurrentPath() const { return current_; }
  bool KeyExists(const std::string& key);

  // The values of the current key.
  bool ValueExists(const std::string& name);
  // Names in the order in which the values were first written.
  std::vector<std::string> GetValueNames();
  bool DeleteValue(const std::string& name);

  // A string value (type 1). Failure: "Failed to set data for '<name>'";
  // also for a text with a zero byte, which would not read back whole.
  virtual void WriteString(const std::string& name, const std::string& value);
  // A 32-bit integer value (type 4). Failure as WriteString.
  virtual void WriteInteger(const std::string& name, std::int32_t value);
  // A missing or empty value reads as the empty text; a value of a non-string
  // type raises "Invalid data type for '<name>'". The text ends at its first
  // zero byte.
  virtual std::string ReadString(const std::string& name);
  // A missing value, or one that does not fit 32 bits, raises "Failed to get
  // data for '<name>'"; one of another type "Invalid data type for '<name>'".
  virtual std::int32_t ReadInteger(const std::string& name);

  // Makes the writes until the matching EndUpdate one transaction: a crash,
  // a kill or EndUpdate(false) leaves none of them stored, a successful
  // EndUpdate all of them. Updates nest; the outermost EndUpdate commits,
  // unless any of the nested ones ended with false. Other writers wait while
  // an update runs. Raises ERegistryException when the transaction cannot be
  // started or committed (nothing is stored then). An EndUpdate without a
  // BeginUpdate does nothing.
  virtual void BeginUpdate();
  virtual void EndUpdate(bool commit = true);

 private:
  struct Impl;
  std::string Resolve(const std::string& key) const;
  std::unique_ptr<Impl> impl_;
  std::string current_;
  int updateDepth_ = 0;
  bool updateAbandoned_ = false;
};

}  // namespace CPort
