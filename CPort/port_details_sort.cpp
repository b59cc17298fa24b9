// Sorting port details by their names, in the port list's order, on every
// system (the name order itself is each system's, in port_sort).
#include <string>
#include <vector>

#include "CPort/PortDetails.h"
#include "CPort/port_sort_p.h"

namespace CPort {

void SortPortDetails(std::vector<TSerialPortInfo>& list) {
  std::vector<std::string> names;
  names.reserve(list.size());
  for (const auto& info : list) names.push_back(info.Name);
  Detail::SortPortNames(names);
  // Equal names keep their order: take the first unused record of each.
  std::vector<bool> used(list.size(), false);
  std::vector<TSerialPortInfo> sorted;
  sorted.reserve(list.size());
  for (const auto& name : names) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!used[i] && list[i].Name == name) {
        used[i] = true;
        sorted.push_back(std::move(list[i]));
        break;
      }
    }
  }
  list.swap(sorted);
}

}  // namespace CPort
