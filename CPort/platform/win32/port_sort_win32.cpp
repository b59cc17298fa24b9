// Port names in the user's order on Windows: the same rule as on Linux,
// case-insensitive comparison in the user's locale, equal names kept in
// their order (plain text order: COM10 before COM2).
#include <algorithm>
#include <string>
#include <vector>

#include "CPort/port_sort_p.h"
#include "wide_text_p.h"
#include "win_comm.h"

namespace CPort::Detail {

void SortPortNames(std::vector<std::string>& names) {
  struct Entry {
    std::wstring key;
    std::string name;
  };
  std::vector<Entry> entries;
  entries.reserve(names.size());
  for (auto& name : names) entries.push_back({Platform::WideFromUtf8(name), std::move(name)});
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    const int order = ::CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, a.key.c_str(),
                                        static_cast<int>(a.key.size()), b.key.c_str(),
                                        static_cast<int>(b.key.size()), nullptr, nullptr, 0);
    // 0: the comparison failed; fall back to code unit order.
    if (order == 0) return a.key < b.key;
    return order == CSTR_LESS_THAN;
  });
  names.clear();
  for (auto& e : entries) names.push_back(std::move(e.name));
}

}  // namespace CPort::Detail
