// Test double: a program that logs like the tools do. Every argument is logged as one
// record "probe <argument>"; "/long" logs a text longer than a record can hold; "/hold"
// logs nothing and waits, up to a minute, until the event "log_probe_release" is set.
// Exits 0 when LogPrintf left every last-error code as it was, 3 otherwise.
#include <windows.h>

#include <cwchar>
#include <string>

#include "debuglog.h"
#include "strtools.h"

int wmain(int argc, wchar_t* argv[]) {
  CComStrTools tools;
  int result = 0;
  for (int i = 1; i < argc; ++i) {
    const DWORD code = 0xE0000200u + static_cast<DWORD>(i);
    SetLastError(code);
    if (std::wcscmp(argv[i], L"/hold") == 0) {
      if (const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, L"log_probe_release")) {
        WaitForSingleObject(release, 60000);
        CloseHandle(release);
      }
      SetLastError(code);
    } else if (std::wcscmp(argv[i], L"/long") == 0) {
      LogPrintf("%s", std::string(2000, 'x').c_str());
    } else {
      LogPrintf("probe %d%% %s\n", i, tools.ToNarrow(argv[i]));
    }
    if (GetLastError() != code) result = 3;
  }
  return result;
}
