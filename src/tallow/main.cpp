// Tallow: keeps the mobile-device driver packages installed and the USB devices bound to
// their driver. One switch per run; the exit code is the operation's result.
#include "driver_paths.h"
#include "switches.h"
#include "system_libraries.h"

// NOLINTNEXTLINE(misc-use-internal-linkage): the runtime's start-up code calls wmain by name.
int wmain(int argc, wchar_t* argv[]) {
  RestrictLibrarySearch();
  if (argc <= 1) return 0;
  CDriverInfPaths record;
  return RunSwitch(record, argv[1]);
}
