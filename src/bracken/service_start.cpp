// Start: waits for a stop in progress, requests the start (once more after a request
// time-out) and waits while the service is start pending. Each wait ends when the service
// makes no progress within its wait hint; both together end when the start's budget of
// two minutes is spent, since a service may report progress, or a wait hint, for ever.
#include "console.h"
#include "debuglog.h"
#include "service_control.h"
#include "service_state.h"
#include "wait_timing.h"

namespace {

constexpr DWORD kStartBudget = 120000;

}  // namespace

void ServiceControl::Start(const wchar_t* serviceName) {
  LogPrintf("\n %s start opt : \n", NarrowName(serviceName));
  OperationHandles handles;

  if (!handles.OpenManager(nullptr)) return;
  const SC_HANDLE service = handles.OpenServiceHandle(serviceName, SERVICE_ALL_ACCESS);
  if (!service) return;

  SERVICE_STATUS_PROCESS status = {};
  if (!ReadServiceStatus(service, status)) {
    const int code = static_cast<int>(GetLastError());
    OutW(L"%s \t QueryServiceStatusEx failed (%d)\n", serviceName, code);
    LogPrintf("\n \t check if stopped : \n");
    LogPrintf("%s \t QueryServiceStatusEx failed (%d)\n", NarrowName(serviceName), code);
    return;
  }
  if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
    OutW(L"%s \t Cannot start the service because it is already running\n", serviceName);
    LogPrintf("\n \t chech if running : \n");
    LogPrintf("%s \t Cannot start the service because it is already running\n", NarrowName(serviceName));
    return;
  }

  DWORD startTickCount = GetTickCount();
  DWORD oldCheckPoint = status.dwCheckPoint;
  LogPrintf("\n \t Save the tick count and initial checkpoint : \n");
  LogPrintf("dwStartTickCount = %d, dwOldCheckPoint = %d \n", static_cast<int>(startTickCount),
            static_cast<int>(oldCheckPoint));
  LogPrintf("\n Wait for the service to stop before attempting to start it \n");
  const DWORD startOfBudget = startTickCount;
  // Whether the wait is over for want of progress: none within the wait hint, or the
  // budget spent. A rising checkpoint restarts the wait hint's clock.
  auto noProgress = [&] {
    const bool progressed = status.dwCheckPoint > oldCheckPoint;
    if (progressed) {
      startTickCount = GetTickCount();
      oldCheckPoint = status.dwCheckPoint;
    }
    const DWORD now = GetTickCount();
    return (!progressed && ElapsedTicks(startTickCount, now) > status.dwWaitHint) ||
           ElapsedTicks(startOfBudget, now) > kStartBudget;
  };
  auto poll = [&] {
    Sleep(SleepWithinBudget(PollInterval(status.dwWaitHint), startOfBudget, GetTickCount(), kStartBudget));
  };

  while (status.dwCurrentState == SERVICE_STOP_PENDING) {
    LogPrintf("\t ssStatus.dwCurrentState == SERVICE_STOP_PENDING \n");
    poll();
    if (!ReadServiceStatus(service, status)) {
      const int code = static_cast<int>(GetLastError());
      OutA("QueryServiceStatusEx failed (%d)\n", code);
      LogPrintf("\t Check the status until the service is no longer stop pending\n");
      LogPrintf("%s \t QueryServiceStatusEx failed (%d)\n", NarrowName(serviceName), code);
      return;
    }
    // A service that has finished stopping reports no progress any more; that is the end
    // of the wait, not a time-out.
    if (status.dwCurrentState != SERVICE_STOP_PENDING) break;
    if (noProgress()) {
      OutA("Timeout waiting for service to stop\n");
      LogPrintf("%s \t Timeout waiting for service to stop\n", NarrowName(serviceName));
      return;
    }
  }

  if (StartServiceW(service, 0, nullptr)) {
    EchoService(TOOLS_TWIN("%s \t Service start pending...\n"), serviceName);
  } else {
    const DWORD code = SaveError(GetLastError());
    EchoService(TOOLS_TWIN("%s \t StartService failed (%d)\n"), serviceName, code);
    if (code == ERROR_SERVICE_REQUEST_TIMEOUT && !StartServiceW(service, 0, nullptr)) {
      EchoService(TOOLS_TWIN("%s \t StartService again failed (%d)\n"), serviceName, GetLastError());
    }
  }

  if (!ReadServiceStatus(service, status)) {
    const int code = static_cast<int>(GetLastError());
    const char* narrowName = NarrowName(serviceName);
    OutA("%s \t QueryServiceStatusEx failed (%d)\n", narrowName, code);
    LogPrintf("\n \t Check the status until the service is no longer start pending\n");
    LogPrintf("%s \t QueryServiceStatusEx failed (%d)\n", narrowName, code);
    return;
  }

  startTickCount = GetTickCount();
  oldCheckPoint = status.dwCheckPoint;
  LogPrintf("\n \t Save the tick count and initial checkpoint : \n");
  LogPrintf("dwStartTickCount = %d, dwOldCheckPoint = %d \n", static_cast<int>(startTickCount),
            static_cast<int>(oldCheckPoint));

  while (status.dwCurrentState == SERVICE_START_PENDING) {
    LogPrintf("\t ssStatus.dwCurrentState == SERVICE_START_PENDING \n");
    poll();
    // A failed read ends the wait; the last status read is judged.
    if (!ReadServiceStatus(service, status)) {
      OutA("QueryServiceStatusEx failed (%d)\n", static_cast<int>(GetLastError()));
      break;
    }
    if (noProgress()) break;
  }

  if (status.dwCurrentState == SERVICE_RUNNING) {
    EchoService(TOOLS_TWIN("%s \t Service started successfully.\n"), serviceName);
  } else {
    OutW(L"%s \t Service not started. \n", serviceName);
    OutA("  Current State: %d\n", static_cast<int>(status.dwCurrentState));
    OutA("  Exit Code: %d\n", static_cast<int>(status.dwWin32ExitCode));
    OutA("  Check Point: %d\n", static_cast<int>(status.dwCheckPoint));
    OutA("  Wait Hint: %d\n", static_cast<int>(status.dwWaitHint));
    LogPrintf("%s \t Service not started. \n", NarrowName(serviceName));
    LogPrintf(" \t\t  Current State: %d\n", static_cast<int>(status.dwCurrentState));
    LogPrintf(" \t\t  Exit Code: %d\n", static_cast<int>(status.dwWin32ExitCode));
    LogPrintf(" \t\t Check Point: %d\n", static_cast<int>(status.dwCheckPoint));
    LogPrintf(" \t\t Wait Hint: %d\n", static_cast<int>(status.dwWaitHint));
  }
}
