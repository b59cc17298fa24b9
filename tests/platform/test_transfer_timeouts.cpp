// COMMTIMEOUTS to transfer plans, without a device.
#include <gtest/gtest.h>

#include <optional>

#include "CPort/platform/transfer_timeouts.h"

namespace CPort::Platform {
namespace {

struct ReadCase {
  const char* name;
  COMMTIMEOUTS timeouts;
  DWORD count;
  bool immediate, returnIfAny, firstByte;
  std::optional<std::uint64_t> totalMs;
  DWORD intervalMs;
};

// Each row names the fault it would catch when the planner got it wrong.
TEST(TransferTimeouts, ReadPlansFollowEveryTimeoutCaseAndNeverOverflow) {
  const ReadCase cases[] = {
      {"at-once read waits instead of returning nothing", {MAXDWORD, 0, 0, 0, 0}, 10, true, false, false, std::nullopt, 0},
      {"return-if-any loses its total", {MAXDWORD, 10, 100, 0, 0}, 5, false, true, false, 150, 0},
      {"return-if-any with only a constant", {MAXDWORD, 0, 200, 0, 0}, 7, false, true, false, 200, 0},
      {"first-byte read multiplies MAXDWORD", {MAXDWORD, MAXDWORD, 5000, 0, 0}, 10, false, true, true, 5000, 0},
      {"no timeouts ends early", {0, 0, 0, 0, 0}, 6, false, false, false, std::nullopt, 0},
      {"total timeout missing", {0, 10, 100, 0, 0}, 5, false, false, false, 150, 0},
      {"interval alone gets a total", {60, 0, 0, 0, 0}, 10, false, false, false, std::nullopt, 60},
      {"interval and total not both kept", {20, 1, 30, 0, 0}, 4, false, false, false, 34, 20},
      {"32-bit overflow of M x N + C", {0, MAXDWORD, MAXDWORD, 0, 0}, MAXDWORD, false, false, false,
       std::uint64_t{MAXDWORD} * MAXDWORD + MAXDWORD, 0},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadPlan plan = PlanRead(c.timeouts, c.count);
    EXPECT_EQ(plan.immediate, c.immediate);
    EXPECT_EQ(plan.returnIfAny, c.returnIfAny);
    EXPECT_EQ(plan.firstByte, c.firstByte);
    EXPECT_EQ(plan.totalMs, c.totalMs);
    EXPECT_EQ(plan.intervalMs, c.intervalMs);
  }
}

TEST(TransferTimeouts, WritePlansAndTheOneRefusedCombination) {
  EXPECT_EQ(PlanWrite({0, 0, 0, 0, 0}, 100).totalMs, std::nullopt) << "no write timeout invented";
  EXPECT_EQ(PlanWrite({0, 0, 0, 100, 1000}, 4).totalMs, 1400u);
  EXPECT_EQ(PlanWrite({0, 0, 0, MAXDWORD, 0}, MAXDWORD).totalMs, std::uint64_t{MAXDWORD} * MAXDWORD)
      << "32-bit overflow";
  EXPECT_FALSE(AreValidTimeouts({MAXDWORD, MAXDWORD, MAXDWORD, 0, 0}));
  EXPECT_TRUE(AreValidTimeouts({MAXDWORD, MAXDWORD, 100, 0, 0}));
  EXPECT_TRUE(AreValidTimeouts({MAXDWORD, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace CPort::Platform
