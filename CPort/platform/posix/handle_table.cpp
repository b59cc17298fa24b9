// The process-wide handle table (see handle_table_p.h).
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "comm_engine_p.h"
#include "event_object_p.h"
#include "handle_table_p.h"

namespace CPort::Platform::HandleTable {

namespace {

struct Table {
  std::shared_mutex lock;
  std::unordered_map<HANDLE, Entry> entries;
  // Small multiples of 4, like Windows handles; never 0 or -1.
  HANDLE next = 0x1000;
};

Table& TheTable() {
  static Table table;
  return table;
}

template <typename T>
std::shared_ptr<T> Find(HANDLE handle) {
  Table& table = TheTable();
  std::shared_lock lock(table.lock);
  const auto it = table.entries.find(handle);
  if (it == table.entries.end()) return nullptr;
  if (const auto* object = std::get_if<std::shared_ptr<T>>(&it->second)) return *object;
  return nullptr;
}

}  // namespace

HANDLE Insert(Entry object) {
  Table& table = TheTable();
  std::unique_lock lock(table.lock);
  const HANDLE handle = table.next;
  table.next += 4;
  table.entries.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<EventObject> FindEvent(HANDLE handle) { return Find<EventObject>(handle); }
std::shared_ptr<CommEngine> FindDevice(HANDLE handle) { return Find<CommEngine>(handle); }

Entry Remove(HANDLE handle) {
  Table& table = TheTable();
  std::unique_lock lock(table.lock);
  const auto it = table.entries.find(handle);
  if (it == table.entries.end()) return {};
  return std::move(table.entries.extract(it).mapped());
}

std::size_t Count() {
  Table& table = TheTable();
  std::shared_lock lock(table.lock);
  return table.entries.size();
}

}  // namespace CPort::Platform::HandleTable
