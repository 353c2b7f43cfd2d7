#include "entry.h"

#include <windows.h>
#include <shellapi.h>

#include "app_paths.h"
#include "sequences.h"
#include "strtools.h"
#include "unique_handle.h"

namespace {

struct Switch {
  const wchar_t* text;
  void (*run)();
};

// Compared in this order; the first equal one runs.
constexpr Switch kSwitches[] = {
    {L"/stopsvc", StopServices},
    {L"/startsvc", StartServices},
};

}  // namespace

int RunBracken(const wchar_t* commandLine) {
  InitAppPaths();

  // A command line that cannot be split has no switch.
  int count = 0;
  const ArgvBlock argv(CommandLineToArgvW(commandLine, &count));
  if (argv && count >= 2) {
    for (const Switch& entry : kSwitches) {
      if (EqualsIgnoringAsciiCase(argv.get()[1], entry.text)) {
        entry.run();
        break;
      }
    }
  }

  FreeAppPaths();
  return 0;
}
