// The shared state of the service operations, Install and Delete.
#include "service_control.h"

#include <string>

#include "app_paths.h"
#include "service_state.h"

ServiceHandle g_schSCManager;
ServiceHandle g_schService;
DWORD g_dwSavedError = 0;
CComStrTools g_serviceStrTools;

namespace {

// Every access right to a process, as every Windows since XP accepts it. The headers give
// a larger mask (0x1FFFFF) once _WIN32_WINNT is 0x0600 or more.
constexpr DWORD kProcessAllAccess = 0x1F0FFF;

// An executable path with blanks must reach the manager in quotes, or a LocalSystem
// service start tries each blank-cut prefix of it as a program first.
std::wstring QuotedPath(const wchar_t* path) {
  const std::wstring text = path;
  if (!text.empty() && text.front() == L'"') return text;
  return L"\"" + text + L"\"";
}

}  // namespace

bool ReadServiceStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  SERVICE_STATUS_PROCESS read = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&read), sizeof read, &needed)) {
    return false;
  }
  status = read;
  return true;
}

bool SendStopControl(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  SERVICE_STATUS received = {};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &received)) return false;
  status.dwServiceType = received.dwServiceType;
  status.dwCurrentState = received.dwCurrentState;
  status.dwControlsAccepted = received.dwControlsAccepted;
  status.dwWin32ExitCode = received.dwWin32ExitCode;
  status.dwServiceSpecificExitCode = received.dwServiceSpecificExitCode;
  status.dwCheckPoint = received.dwCheckPoint;
  status.dwWaitHint = received.dwWaitHint;
  return true;
}

void EndServiceProcess(const SERVICE_STATUS_PROCESS& status) {
  // A host process that other services share is never ended.
  if (status.dwProcessId == 0 || (status.dwServiceType & SERVICE_WIN32) != SERVICE_WIN32_OWN_PROCESS) return;
  const KernelHandle process(OpenProcess(kProcessAllAccess, FALSE, status.dwProcessId));
  if (process) TerminateProcess(process.get(), 0);
}

void ServiceControl::Install(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* binaryPath,
                             const wchar_t* description) {
  LogPrintf("\n %s install opt : \n", NarrowName(serviceName));
  const OperationHandles handles;

  g_schSCManager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!g_schSCManager) {
    OutA("OpenSCManager failed (%d)\n", static_cast<int>(GetLastError()));
    return;
  }

  // Only the fixed part of the record is offered; the lock state never stops the install.
  QUERY_SERVICE_LOCK_STATUSW lockStatus = {};
  DWORD needed = 0;
  if (QueryServiceLockStatusW(g_schSCManager.get(), &lockStatus, sizeof lockStatus, &needed)) {
    OutW(L"%s \t cur svc lock status: %ld \n", serviceName, lockStatus.fIsLocked);
    LogPrintf("%s \t cur svc lock status: %ld \n", NarrowName(serviceName), static_cast<long>(lockStatus.fIsLocked));
  }

  // "Tcpip" and the closing zeros of the list.
  wchar_t dependencies[MAX_PATH] = {};
  CopyBounded(dependencies, MAX_PATH, L"Tcpip");

  const std::wstring path = QuotedPath(binaryPath);
  g_schService.reset(CreateServiceW(g_schSCManager.get(), serviceName, displayName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    path.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr));
  if (!g_schService) {
    g_dwSavedError = GetLastError();
    EchoServiceCode(L"%s \t CreateService failed (%d)\n", "%s \t CreateService failed (%d)\n", serviceName,
                    g_dwSavedError);
    return;
  }
  EchoService(L"%s \t Service installed successfully\n", "%s \t Service installed successfully\n", serviceName);

  SERVICE_DESCRIPTIONW serviceDescription = {const_cast<wchar_t*>(description)};
  if (ChangeServiceConfig2W(g_schService.get(), SERVICE_CONFIG_DESCRIPTION, &serviceDescription)) {
    OutW(L"%s \t Service description updated successfully.\n", serviceName);
  } else {
    OutW(L"%s \t ChangeServiceConfig2 failed: (%ld)\n", serviceName, GetLastError());
  }
}

void ServiceControl::Delete(const wchar_t* serviceName) {
  LogPrintf("\n %s \t del opt : \n", NarrowName(serviceName));
  const OperationHandles handles;

  g_schSCManager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!g_schSCManager) {
    OutW(L"%s \t OpenSCManager failed (%d)\n", serviceName, GetLastError());
    return;
  }
  // STANDARD_RIGHTS_REQUIRED (with DELETE) and the query, change, enumerate, start and
  // stop rights.
  g_schService.reset(OpenServiceW(g_schSCManager.get(), serviceName, 0xF003F));
  if (!g_schService) {
    OutW(L"%s \t OpenService failed (%d)\n", serviceName, GetLastError());
    return;
  }

  // The service is not asked to stop: its process is ended.
  SERVICE_STATUS_PROCESS status = {};
  if (ReadServiceStatus(g_schService.get(), status)) EndServiceProcess(status);

  if (DeleteService(g_schService.get())) {
    EchoService(L"%s \t Service deleted successfully\n", "%s \t Service deleted successfully\n", serviceName);
  } else {
    g_dwSavedError = GetLastError();
    EchoServiceCode(L"%s \t Delete Service failed (%d)\n", "%s \t Delete Service failed (%d)\n", serviceName,
                    g_dwSavedError);
  }
}
