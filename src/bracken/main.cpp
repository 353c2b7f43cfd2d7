// Bracken: stops or starts the mobile-device services, with the process sweep and the
// registry values that go with them. One switch per run; the exit code is always 0.
#include <windows.h>

#include "entry.h"
#include "system_libraries.h"

// NOLINTNEXTLINE(misc-use-internal-linkage): the runtime's start-up code calls wmain by name.
int wmain() {
  RestrictLibrarySearch();
  return RunBracken(GetCommandLineW());
}
