#include "entry.h"

#include <windows.h>
#include <shellapi.h>

#include "app_paths.h"
#include "sequences.h"
#include "strtools.h"
#include "unique_handle.h"

int RunBracken(const wchar_t* commandLine) {
  InitAppPaths();

  // A command line that cannot be split has no switch.
  int count = 0;
  const ArgvBlock argv(CommandLineToArgvW(commandLine, &count));
  if (argv && count >= 2) {
    const wchar_t* switchText = argv.get()[1];
    if (EqualsIgnoringAsciiCase(switchText, L"/stopsvc")) {
      StopServices();
    } else if (EqualsIgnoringAsciiCase(switchText, L"/startsvc")) {
      StartServices();
    }
  }

  FreeAppPaths();
  return 0;
}
