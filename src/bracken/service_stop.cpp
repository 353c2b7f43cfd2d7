// Stop and StopDependents: the dependents first, then the service, all within a budget
// of 30000 ms counted from the start of Stop; the dependents have a budget of their own
// besides. No sleep lasts past the budget, whatever wait hint a service reports.
#include "console.h"
#include "debuglog.h"
#include "service_control.h"
#include "service_state.h"
#include "unique_handle.h"
#include "wait_timing.h"

namespace {

constexpr DWORD kStopBudget = 30000;
constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS;
constexpr DWORD kDependentAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;
static_assert(kStopAccess == 0x2C && kDependentAccess == 0x24);

}  // namespace

void ServiceControl::Stop(const wchar_t* serviceName) {
  LogPrintf("\n %s \t stop opt: \n", NarrowName(serviceName));
  const DWORD startTime = GetTickCount();
  OperationHandles handles;

  const SC_HANDLE manager = handles.OpenManager(serviceName);
  if (!manager) return;
  const SC_HANDLE service = handles.OpenServiceHandle(serviceName, kStopAccess);
  if (!service) return;

  SERVICE_STATUS_PROCESS status = {};
  auto readOrReport = [&] {
    if (ReadServiceStatus(service, status)) return true;
    EchoService(TOOLS_TWIN("%s \t QueryServiceStatusEx failed (%d)\n"), serviceName, GetLastError());
    return false;
  };
  if (!readOrReport()) return;

  if (status.dwCurrentState == SERVICE_STOPPED) {
    EchoService(TOOLS_TWIN("%s \t Service is already stopped.\n"), serviceName);
    EndServiceProcess(status);
    return;
  }

  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    EchoService(TOOLS_TWIN("%s \t Service stop pending...\n"), serviceName);
    Sleep(SleepWithinBudget(PollInterval(status.dwWaitHint), startTime, GetTickCount(), kStopBudget));
    if (!readOrReport()) return;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      EchoService(TOOLS_TWIN("%s \t Service stopped successfully.\n"), serviceName);
      return;
    }
    if (ElapsedTicks(startTime, GetTickCount()) > kStopBudget) {
      EchoService(TOOLS_TWIN("%s \t Service stop timed out.\n"), serviceName);
      EndServiceProcess(status);
      return;
    }
  }

  // A dependent that cannot be stopped does not keep the service from its stop control.
  StopDependents(manager, service);

  if (!SendStopControl(service, status)) {
    const DWORD code = GetLastError();
    EchoService(TOOLS_TWIN("%s \t ControlService failed (%d)\n"), serviceName, code);
    // Dependents that would not stop keep the service from stopping: its process is ended
    // as that of a stop that ran out of time.
    if (code == ERROR_DEPENDENT_SERVICES_RUNNING) EndServiceProcess(status);
    return;
  }

  while (status.dwCurrentState != SERVICE_STOPPED) {
    Sleep(SleepWithinBudget(status.dwWaitHint, startTime, GetTickCount(), kStopBudget));
    if (!ReadServiceStatus(service, status)) {
      OutW(L"%s \t QueryServiceStatusEx failed (%d)\n", serviceName, GetLastError());
      return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) break;
    if (ElapsedTicks(startTime, GetTickCount()) > kStopBudget) {
      OutA("Wait timed out\n");
      LogPrintf("wait timed out \n");
      EndServiceProcess(status);
      return;
    }
  }
  EchoService(TOOLS_TWIN("%s \t Service stopped successfully\n"), serviceName);
}

bool ServiceControl::StopDependents(SC_HANDLE manager, SC_HANDLE service) {
  const DWORD startTime = GetTickCount();

  DWORD bytesNeeded = 0;
  DWORD count = 0;
  if (EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &bytesNeeded, &count)) return true;
  if (GetLastError() != ERROR_MORE_DATA) return false;

  const HeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytesNeeded));
  if (!block) return false;
  auto* dependents = static_cast<ENUM_SERVICE_STATUSW*>(block.get());
  if (!EnumDependentServicesW(service, SERVICE_ACTIVE, dependents, bytesNeeded, &bytesNeeded, &count)) {
    return false;
  }

  for (DWORD i = 0; i < count; ++i) {
    // A dependent deleted or stopped since it was listed is done; one that is stopping
    // already is waited for like one that was just asked to stop.
    const ServiceHandle dependent(OpenServiceW(manager, dependents[i].lpServiceName, kDependentAccess));
    if (!dependent) {
      if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) continue;
      return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!SendStopControl(dependent.get(), status)) {
      const DWORD code = GetLastError();
      if (code == ERROR_SERVICE_NOT_ACTIVE || code == ERROR_SERVICE_DOES_NOT_EXIST) continue;
      if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL || !ReadServiceStatus(dependent.get(), status)) return false;
    }
    while (status.dwCurrentState != SERVICE_STOPPED) {
      Sleep(SleepWithinBudget(status.dwWaitHint, startTime, GetTickCount(), kStopBudget));
      if (!ReadServiceStatus(dependent.get(), status)) return false;
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      if (ElapsedTicks(startTime, GetTickCount()) > kStopBudget) return false;
    }
  }
  return true;
}
