// Bracken: stops or starts the mobile-device services, with the process sweep and the
// registry values that go with them. One switch per run; the exit code is always 0.
#include <windows.h>

#include "entry.h"
#include "system_libraries.h"

int wmain() {
  RestrictLibrarySearch();
  return RunBracken(GetCommandLineW());
}
