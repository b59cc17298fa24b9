// COMMTIMEOUTS to transfer plans (see transfer_timeouts.h).
#include "transfer_timeouts.h"

namespace CPort::Platform {

ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, DWORD count) {
  const DWORD interval = timeouts.ReadIntervalTimeout;
  const DWORD multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const DWORD constant = timeouts.ReadTotalTimeoutConstant;
  const std::uint64_t total = std::uint64_t{multiplier} * count + constant;
  ReadPlan plan;
  if (interval == MAXDWORD) {
    if (multiplier == 0 && constant == 0) {
      plan.immediate = true;
    } else if (multiplier == MAXDWORD) {
      plan.returnIfAny = true;
      plan.firstByte = true;
      plan.totalMs = constant;
    } else {
      plan.returnIfAny = true;
      plan.totalMs = total;
    }
    return plan;
  }
  if (multiplier != 0 || constant != 0) plan.totalMs = total;
  plan.intervalMs = interval;
  return plan;
}

WritePlan PlanWrite(const COMMTIMEOUTS& timeouts, DWORD count) {
  WritePlan plan;
  const DWORD multiplier = timeouts.WriteTotalTimeoutMultiplier;
  const DWORD constant = timeouts.WriteTotalTimeoutConstant;
  if (multiplier != 0 || constant != 0) plan.totalMs = std::uint64_t{multiplier} * count + constant;
  return plan;
}

bool AreValidTimeouts(const COMMTIMEOUTS& timeouts) {
  return !(timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
           timeouts.ReadTotalTimeoutConstant == MAXDWORD);
}

}  // namespace CPort::Platform
