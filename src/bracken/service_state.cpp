// The module-level state of the service operations, and the status calls they share.
#include "service_state.h"

#include "console.h"
#include "strtools.h"
#include "unique_handle.h"

namespace {

ServiceHandle g_schSCManager;
ServiceHandle g_schService;
DWORD g_dwSavedError = 0;
CComStrTools g_serviceStrTools;

// Every access right to a process, as every Windows since XP accepts it. The headers give
// a larger mask (0x1FFFFF) once _WIN32_WINNT is 0x0600 or more.
constexpr DWORD kProcessAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF;
static_assert(kProcessAllAccess == 0x1F0FFF);
static_assert(SC_MANAGER_ALL_ACCESS == 0xF003F);

}  // namespace

OperationHandles::~OperationHandles() {
  g_schService.reset();
  g_schSCManager.reset();
}

SC_HANDLE OperationHandles::OpenManager(const wchar_t* nameInFailure) {
  g_schSCManager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!g_schSCManager) {
    if (nameInFailure) {
      OutW(L"%s \t OpenSCManager failed (%d)\n", nameInFailure, GetLastError());
    } else {
      OutA("OpenSCManager failed (%d)\n", static_cast<int>(GetLastError()));
    }
  }
  return g_schSCManager.get();
}

SC_HANDLE OperationHandles::OpenServiceHandle(const wchar_t* serviceName, DWORD access) {
  g_schService.reset(OpenServiceW(g_schSCManager.get(), serviceName, access));
  if (!g_schService) OutW(L"%s \t OpenService failed (%d)\n", serviceName, GetLastError());
  return g_schService.get();
}

SC_HANDLE OperationHandles::HoldService(SC_HANDLE service) {
  g_schService.reset(service);
  return g_schService.get();
}

DWORD SaveError(DWORD code) { return g_dwSavedError = code; }

CComStrTools& ServiceNameTools() { return g_serviceStrTools; }

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

bool RunsAlone(const SERVICE_STATUS_PROCESS& status) {
  return status.dwProcessId != 0 && (status.dwServiceType & SERVICE_WIN32) == SERVICE_WIN32_OWN_PROCESS;
}

void EndServiceProcess(const SERVICE_STATUS_PROCESS& status) {
  // A host process that other services share is never ended.
  if (!RunsAlone(status)) return;
  const KernelHandle process(OpenProcess(kProcessAllAccess, FALSE, status.dwProcessId));
  // A termination that fails is not noticed: the stop has nothing more it could do.
  if (process) TerminateProcess(process.get(), 0);
}
