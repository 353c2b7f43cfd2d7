#include "wait_timing.h"

#include <algorithm>

DWORD PollInterval(DWORD waitHint) {
  const DWORD tenth = waitHint / 10;
  if (tenth < 1000) return 1000;
  if (tenth > 10000) return 10000;
  return tenth;
}

DWORD ElapsedTicks(DWORD start, DWORD now) { return now - start; }

DWORD SleepWithinBudget(DWORD wanted, DWORD start, DWORD now, DWORD budget) {
  wanted = std::max(wanted, kLeastSleep);
  const DWORD elapsed = ElapsedTicks(start, now);
  const DWORD left = elapsed > budget ? 0 : budget - elapsed + 1;
  return wanted < left ? wanted : left;
}
