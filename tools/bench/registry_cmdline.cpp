// Baseline of the start-up benchmark for a program that, like the service tool, opens a
// key of the machine's registry and splits its command line on every run.
#include <windows.h>
#include <shellapi.h>

int wmain() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                    KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  int count = 0;
  LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
  return 0;
}
