// Waits up to a minute and exits with 7. With an argument, first loads that library and
// exits with 9 when it cannot.
#include <windows.h>

int wmain(int argc, wchar_t* argv[]) {
  if (argc > 1 && !LoadLibraryW(argv[1])) return 9;
  Sleep(60000);
  return 7;
}
