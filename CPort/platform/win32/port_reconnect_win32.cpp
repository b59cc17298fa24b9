// Reconnecting is part of the POSIX side only (it follows the ports present
// through the kernel's device events). On Windows a port with Reconnect on
// is not reconnected: ReconnectError tells so (ERROR_NOT_SUPPORTED) from the
// first open on, and a lost device ends event delivery as with Reconnect
// off.
#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/port_reconnect_p.h"
#include "win_comm.h"

namespace CPort::Detail {

PortReconnect::PortReconnect(TCustomComPort& port) : port_(port) {}

PortReconnect::~PortReconnect() = default;

void PortReconnect::Opened() {
  if (port_.Reconnect()) lastError_ = std::make_exception_ptr(EComPort(PortErr::OpenFailed, ERROR_NOT_SUPPORTED));
}

void PortReconnect::Cancel() {}

std::function<void()> PortReconnect::LossReporter() {
  return [] {};
}

}  // namespace CPort::Detail
