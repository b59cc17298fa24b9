// Which port property a selector serves.
#pragma once

#include <cstdint>

namespace CPortCtl {

enum TComProperty : std::uint8_t { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

}  // namespace CPortCtl
