// Delete: ends the service's process, if it runs in one of its own, and marks the service
// for deletion. The service is not asked to stop.
#include "console.h"
#include "debuglog.h"
#include "service_control.h"
#include "service_state.h"

namespace {

// Every right a deletion may need: the standard rights (with DELETE) and the query, change,
// enumerate, start and stop rights.
constexpr DWORD kDeleteAccess = STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG |
                                SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START | SERVICE_STOP;
static_assert(kDeleteAccess == 0xF003F);

}  // namespace

void ServiceControl::Delete(const wchar_t* serviceName) {
  LogPrintf("\n %s \t del opt : \n", NarrowName(serviceName));
  OperationHandles handles;

  if (!handles.OpenManager(serviceName)) return;
  const SC_HANDLE service = handles.OpenServiceHandle(serviceName, kDeleteAccess);
  if (!service) return;

  SERVICE_STATUS_PROCESS status = {};
  if (ReadServiceStatus(service, status)) EndServiceProcess(status);

  if (DeleteService(service)) {
    EchoService(TOOLS_TWIN("%s \t Service deleted successfully\n"), serviceName);
  } else {
    EchoService(TOOLS_TWIN("%s \t Delete Service failed (%d)\n"), serviceName, SaveError(GetLastError()));
  }
}
