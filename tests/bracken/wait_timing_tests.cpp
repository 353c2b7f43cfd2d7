// The arithmetic of the service waits.
#include <gtest/gtest.h>

#include "wait_timing.h"

namespace testing_support::bracken_test {

TEST(PollInterval, IsATenthOfTheWaitHintWithinOneToTenSeconds) {
  const struct {
    DWORD waitHint;
    DWORD interval;
  } cases[] = {{0, 1000},       {1, 1000},       {5000, 1000},    {9999, 1000},    {10000, 1000},
               {10009, 1000},   {10010, 1001},   {25000, 2500},   {25009, 2500},   {99999, 9999},
               {100000, 10000}, {100009, 10000}, {100010, 10000}, {250000, 10000}, {0xFFFFFFFF, 10000}};
  for (const auto& c : cases) EXPECT_EQ(PollInterval(c.waitHint), c.interval) << c.waitHint;
}

TEST(ElapsedTicks, CountsAcrossTheWrapOfTheCounter) {
  const struct {
    DWORD start;
    DWORD now;
    DWORD elapsed;
  } cases[] = {{0, 0, 0},
               {1000, 31000, 30000},
               {0xFFFFFFFF, 0, 1},
               {0xFFFFF000, 0x00000FFF, 0x1FFF},
               {0xFFFF8AD0, 0x00000000, 30000},
               {0xFFFF8AD0, 0x00000001, 30001},
               {0x80000000, 0x7FFFFFFF, 0xFFFFFFFF},
               {12345, 12344, 0xFFFFFFFF}};
  for (const auto& c : cases) EXPECT_EQ(ElapsedTicks(c.start, c.now), c.elapsed) << c.start << " " << c.now;
}

TEST(SleepWithinBudget, SleepsAtLeastAFloorAndNeverPastTheMomentTheBudgetIsSpent) {
  const struct {
    DWORD wanted;
    DWORD start;
    DWORD now;
    DWORD sleep;
  } cases[] = {{0, 0, 0, 100},
               {99, 0, 0, 100},
               {101, 0, 0, 101},
               {0, 0, 29950, 51},
               {0, 0, 30001, 0},
               {5000, 0, 0, 5000},
               {600000, 0, 0, 30001},
               {INFINITE, 0, 0, 30001},
               {6000, 0, 26000, 4001},
               {10000, 0, 30000, 1},
               {10000, 0, 30001, 0},
               {10000, 0, 45000, 0},
               {600000, 0xFFFFC000, 0x00001000, 9521},
               {1000, 0xFFFFC000, 0x00001000, 1000}};
  for (const auto& c : cases) {
    EXPECT_EQ(SleepWithinBudget(c.wanted, c.start, c.now, 30000), c.sleep)
        << c.wanted << " " << c.start << " " << c.now;
  }
}

}  // namespace testing_support::bracken_test
