// The display order of port names: case-insensitive and locale-aware in the
// user's locale (the environment's LC_COLLATE / LC_CTYPE), plain text order
// (ttyS10 before ttyS2), equal entries kept in their original order.
#pragma once

#include <string>
#include <vector>

namespace CPort::Detail {

void SortPortNames(std::vector<std::string>& names);

}  // namespace CPort::Detail
