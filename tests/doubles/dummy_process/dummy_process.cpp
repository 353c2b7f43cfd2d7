// Waits up to a minute and exits with 7. With an argument, first loads that library and
// exits with 9 when it cannot. Once ready, sets the event "dummy_process_ready_<its
// process identifier>" if one of that name exists. With "run" and a program with its arguments, starts that
// program instead, waits for it and exits with its exit code plus one.
#include <windows.h>

#include <cwchar>
#include <string>

// NOLINTNEXTLINE(misc-use-internal-linkage): the runtime's start-up code calls wmain by name.
int wmain(int argc, wchar_t* argv[]) {
  if (argc > 2 && std::wcscmp(argv[1], L"run") == 0) {
    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      return 9;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return static_cast<int>(exitCode + 1);
  }
  if (argc > 1 && !LoadLibraryW(argv[1])) return 9;
  const std::wstring ready = L"dummy_process_ready_" + std::to_wstring(GetCurrentProcessId());
  if (const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
    SetEvent(event);
    CloseHandle(event);
  }
  Sleep(60000);
  return 7;
}
