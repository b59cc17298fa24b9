// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// What COMMTIMEOUTS make of one ReadFile or WriteFile, worked out without a
// device or a clock so that every case can be checked on its own. The comm
// engine turns a plan into deadlines when the transfer reaches the head of
// its queue.
//
// Reads (interval I, multiplier M, constant C, N bytes asked):
//   I = MAXDWORD, M = C = 0          complete at once with what is there
//   I = MAXDWORD, M = MAXDWORD, C    complete as soon as anything is there; when
//                                    nothing was, one byte completes it; C ms at most
//   I = MAXDWORD, other M, C         complete as soon as anything is there;
//                                    M x N + C ms at most
//   otherwise                        M x N + C ms in all when M or C is non-zero;
//                                    I ms between two bytes when I is non-zero
// Writes: M x N + C ms in all when M or C is non-zero.
// A timeout ends a transfer successfully with what it moved so far.
#pragma once

#include <cstdint>
#include <optional>

#include "win_comm.h"

namespace CPort::Platform {

struct ReadPlan {
  bool immediate = false;    // complete with what is there, even nothing
  bool returnIfAny = false;  // complete at once when anything is there
  bool firstByte = false;    // when nothing was there, one byte completes it
  std::optional<std::uint64_t> totalMs;  // from the start of the read
  DWORD intervalMs = 0;      // between two bytes, from the first; 0: none
};

struct WritePlan {
  std::optional<std::uint64_t> totalMs;
};

ReadPlan PlanRead(const COMMTIMEOUTS& timeouts, DWORD count);
WritePlan PlanWrite(const COMMTIMEOUTS& timeouts, DWORD count);

// "Return at once" and "wait for ever" at the same time: refused by
// SetCommTimeouts.
bool AreValidTimeouts(const COMMTIMEOUTS& timeouts);

}  // namespace CPort::Platform
