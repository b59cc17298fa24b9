// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
#pragma once

#include <string>

namespace CPort::Detail {

// The sysfs root that ListSerialPorts reads (see SetSysfsRoot).
std::string CurrentSysfsRoot();

}  // namespace CPort::Detail
