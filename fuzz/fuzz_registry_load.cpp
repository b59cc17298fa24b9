// Loading a port's settings from a registry store whose values anybody may
// have written: any names, types and data. The input is a list of values,
// each
//   name selector, type, data kind, length, data bytes
// (the name one of the record's keys, one of them in other letter case, or
// another name; the data a blob, a 64-bit integer, NULL or a text), stored
// behind the registry's back under the key the port loads from. Nothing may
// crash or raise anything but the registry's and the port's errors, and what
// the load leaves must save and load back unchanged.
#include <sqlite3.h>
#include <stdlib.h>

#include <array>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/storage/Registry.h"
#include "settings_record.h"

namespace {

constexpr std::array<const char*, 29> kKeys = {
    "Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl", "EventChar",
    "DiscardNull", "Parity.Check", "Parity.Replace", "Parity.ReplaceChar", "Buffer.OutputSize",
    "Buffer.InputSize", "Timeouts.ReadInterval", "Timeouts.ReadTotalConstant", "Timeouts.ReadTotalMultiplier",
    "Timeouts.WriteTotalConstant", "Timeouts.WriteTotalMultiplier", "FlowControl.ControlRTS",
    "FlowControl.ControlDTR", "FlowControl.DSRSensitivity", "FlowControl.OutCTSFlow", "FlowControl.OutDSRFlow",
    "FlowControl.TxContinueOnXoff", "FlowControl.XonXoffIn", "FlowControl.XonXoffOut", "FlowControl.XoffChar",
    "FlowControl.XonChar"};

// Takes bytes from the front of the input; past its end every byte is 0.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool AtEnd() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string out(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

std::string NameFor(std::uint8_t selector, Reader& in) {
  const std::size_t index = selector % (kKeys.size() + 2);
  if (index < kKeys.size()) return kKeys[index];
  if (index == kKeys.size()) {  // a key in other letter case
    std::string name = kKeys[in.Byte() % kKeys.size()];
    for (char& c : name) c = static_cast<char>(c ^ 0x20 * ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')));
    return name;
  }
  return in.Bytes(in.Byte() % 16);
}

struct Store {
  Store() {
    char pattern[] = "/tmp/kelvat-fuzz-registry-XXXXXX";
    if (mkdtemp(pattern) == nullptr) __builtin_trap();
    dir = pattern;
    const std::string path = dir + "/registry.db";
    registry = new CPort::TRegistry(path);
    if (!registry->OpenKey("\\ComPort1", true) || sqlite3_open(path.c_str(), &raw) != SQLITE_OK) __builtin_trap();
    // The values are thrown away after each run: no need to wait for the disk.
    sqlite3_exec(raw, "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY;", nullptr, nullptr, nullptr);
    std::atexit([] { std::filesystem::remove_all(Instance().dir); });
  }
  // Never destroyed: the directory goes at exit, after the last run.
  static Store& Instance() {
    static Store* store = new Store;
    return *store;
  }
  std::string dir;
  CPort::TRegistry* registry;  // kept for the whole run
  sqlite3* raw = nullptr;
};

void StoreValues(sqlite3* db, Reader& in) {
  sqlite3_exec(db, "BEGIN; DELETE FROM reg_values;", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO reg_values (key, name, type, data) VALUES ('ComPort1', ?1, ?2, ?3)",
                     -1, &insert, nullptr);
  for (int count = 0; !in.AtEnd() && count < 64; ++count) {
    const std::string name = NameFor(in.Byte(), in);
    const int type = in.Byte();
    const int kind = in.Byte() % 4;
    const std::size_t length = in.Byte() % 32;
    sqlite3_bind_text(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, type);
    if (kind == 0) {
      const std::string bytes = in.Bytes(length);
      sqlite3_bind_blob(insert, 3, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    } else if (kind == 1) {
      std::int64_t value = 0;
      const std::string bytes = in.Bytes(8);
      std::memcpy(&value, bytes.data(), bytes.size());
      sqlite3_bind_int64(insert, 3, value);
    } else if (kind == 2) {
      sqlite3_bind_null(insert, 3);
    } else {
      const std::string text = in.Bytes(length);
      sqlite3_bind_text(insert, 3, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Store& store = Store::Instance();
  Reader in(data, size);
  StoreValues(store.raw, in);
  try {
    CPort::TComPort port;
    Fuzz::PrepareClosedPort(port);
    port.LoadSettingsFromRegistry(*store.registry);
    Fuzz::CheckSavedRecordRoundTrips(port);
  } catch (const CPort::ERegistryException&) {
    // Missing or mistyped values are refused: an answer, not a fault.
  } catch (const CPort::EComPort&) {
  }
  return 0;
}
