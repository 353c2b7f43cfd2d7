// A service for the service-tool tests. One program serves any service name; what it does
// is chosen by the line "<service name>=<mode>" in test_service.ini beside it:
//   fast       running at once, stopped at once (the default)
//   slowstart  start pending with a rising checkpoint for about 2 s, then running
//   failstart  stopped during its start, exit code 31
//   slowstop   stop pending with a rising checkpoint for about 2 s, then stopped
//   longstop   the same for about 6 s: still stopping after the tool and another service
//              have started, even where each start of a 32-bit program takes a second
// It appends "<name> started InstallDir=<value>" to test_service.log beside it, with the
// Apple Mobile Device Support folder it finds in the registry at start, and "<name> stopped"
// as it reports its stop after a stop request.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace {

std::wstring g_name;
std::wstring g_mode = L"fast";
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopRequested = nullptr;

std::wstring BesideProgram(const wchar_t* file) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring text = path;
  return text.substr(0, text.rfind(L'\\') + 1) + file;
}

void ReadMode() {
  FILE* file = _wfopen(BesideProgram(L"test_service.ini").c_str(), L"r");
  if (!file) return;
  char line[512];
  while (fgets(line, sizeof line, file)) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    const std::wstring name(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(equals));
    if (name == g_name) g_mode.assign(text.begin() + static_cast<std::ptrdiff_t>(equals) + 1, text.end());
  }
  fclose(file);
}

void Record(const std::wstring& text) {
  FILE* file = _wfopen(BesideProgram(L"test_service.log").c_str(), L"ab");
  if (!file) return;
  const std::wstring line = g_name + L" " + text + L"\r\n";
  const std::string bytes(line.begin(), line.end());
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

void RecordStart() {
  wchar_t value[MAX_PATH] = L"missing";
  DWORD size = sizeof value;
  RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support", L"InstallDir", RRF_RT_REG_SZ,
               nullptr, value, &size);
  Record(std::wstring(L"started InstallDir=") + value);
}

void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0, DWORD exitCode = NO_ERROR) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwCheckPoint = checkPoint;
  g_status.dwWaitHint = waitHint;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING, 1, 2000);
    SetEvent(g_stopRequested);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  g_name = argc > 0 ? argv[0] : L"";
  ReadMode();
  g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_statusHandle = RegisterServiceCtrlHandlerExW(g_name.c_str(), Handler, nullptr);
  if (!g_statusHandle) return;

  if (g_mode == L"failstart") {
    Report(SERVICE_START_PENDING, 1, 2000);
    Sleep(300);
    Report(SERVICE_STOPPED, 0, 0, 31);
    return;
  }
  if (g_mode == L"slowstart") {
    for (DWORD checkPoint = 1; checkPoint <= 4; ++checkPoint) {
      Report(SERVICE_START_PENDING, checkPoint, 2000);
      Sleep(500);
    }
  }
  RecordStart();
  Report(SERVICE_RUNNING);

  WaitForSingleObject(g_stopRequested, INFINITE);
  if (g_mode == L"slowstop" || g_mode == L"longstop") {
    const DWORD lastCheckPoint = g_mode == L"slowstop" ? 5 : 13;
    for (DWORD checkPoint = 2; checkPoint <= lastCheckPoint; ++checkPoint) {
      Sleep(500);
      Report(SERVICE_STOP_PENDING, checkPoint, 2000);
    }
  }
  // Recorded first: once the stop is reported, the process may be ended at any moment.
  Record(L"stopped");
  Report(SERVICE_STOPPED);
}

}  // namespace

// NOLINTNEXTLINE(misc-use-internal-linkage): the runtime's start-up code calls wmain by name.
int wmain() {
  wchar_t name[] = L"test_service";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
