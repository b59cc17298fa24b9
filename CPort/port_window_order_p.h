// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// The order in which the events of one batch reach a port's window under
// smWindowSync, each with the event flag it is sent as.
#pragma once

#include "CPort/ComTypes.h"
#include "CPort/platform/win_comm.h"

namespace CPort::Detail {

struct PortWindowEvent {
  TComEvent event;
  Platform::DWORD flag;
};

namespace port_window_order {
using namespace CPort::Platform;  // the event flags (macros on Windows)
inline constexpr PortWindowEvent kOrder[] = {
    {evError, EV_ERR},   {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY}, {evBreak, EV_BREAK},
    {evRing, EV_RING},   {evCTS, EV_CTS},       {evDSR, EV_DSR},         {evRxFlag, EV_RXFLAG},
    {evRLSD, EV_RLSD},   {evRx80Full, EV_RX80FULL}};
}  // namespace port_window_order

inline constexpr const auto& kPortWindowSendOrder = port_window_order::kOrder;

}  // namespace CPort::Detail
