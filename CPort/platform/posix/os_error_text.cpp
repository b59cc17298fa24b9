// The system's text for an error code: strerror_r.
#include <cstring>

#include "CPort/ComErrors.h"

namespace CPort {

std::string EComPort::OsErrorText() const {
  if (osErrorCode_ == -1) return {};
  char buffer[256];
  // The GNU strerror_r: thread-safe, returns either its own static text or
  // the buffer.
  return ::strerror_r(osErrorCode_, buffer, sizeof buffer);
}

}  // namespace CPort
