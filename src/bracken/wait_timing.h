// The arithmetic of the service waits.
#pragma once

#include <windows.h>

// How long a pending-state wait sleeps between two status reads: a tenth of the wait
// hint, kept within 1000..10000 ms.
DWORD PollInterval(DWORD waitHint);

// Milliseconds from `start` to `now` on the 32-bit tick counter, correct across its
// wrap-around.
DWORD ElapsedTicks(DWORD start, DWORD now);

// The shortest sleep between two status reads of a budgeted wait: a service that reports
// a wait hint of 0 is not polled without pause.
inline constexpr DWORD kLeastSleep = 100;

// How long a wait of a budgeted operation may sleep when it wants `wanted` ms: at least
// kLeastSleep, and at most until the budget that began at `start` counts as spent, one
// tick after `budget` ms have passed, so that a service reporting a wait hint of minutes
// cannot hold the operation up.
DWORD SleepWithinBudget(DWORD wanted, DWORD start, DWORD now, DWORD budget);
