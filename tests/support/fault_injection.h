// Fault injection: runs an operation of a tool in this process once to count the platform
// calls it makes, then once more for each of them with that call failing as its
// documentation says it can fail, every other call going to the system. Each run must end
// without a crash, within its budget, with a documented result, with whole records in the
// debug log and with every handle, key, device set, library and memory block that a call
// gave it closed again.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace testing_support::faults {

struct Operation {
  std::string name;
  std::function<void()> prepare;  // brings the system into the state where the run does real work
  std::function<int()> run;       // the operation; its result is the exit code
  std::set<int> exits;            // the exit codes documented for it
  bool libraryResults = false;    // the driver-install library's failure code is a documented result too
  DWORD budget = 0;               // milliseconds by `clock` that the run may take; 0: no budget
};

struct Totals {
  size_t points = 0;
  size_t operations = 0;
  size_t crashes = 0;
  size_t hangs = 0;
  size_t leaks = 0;
  size_t oddExits = 0;
};

// Patches every call named in `importList` (the calls that the product libraries import,
// written by the build) that the test executable imports from a system library, runs each
// operation and its faults, reports each finding as a test failure, prints the summary
// line and gives the totals. `clock` is the clock that the budgets are kept by (the
// scripted one of the service tests); without it, a run that takes over 20 s is a hang.
Totals RunAll(const std::vector<Operation>& operations, const std::wstring& importList,
              const std::function<DWORD()>& clock = {});

}  // namespace testing_support::faults
