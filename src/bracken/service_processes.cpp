// The processes that the named services run in, read before the sweep so that each is left
// to its service's stop: a service whose process is ended under it counts as failed, and
// Windows may then start it again.
#include <initializer_list>
#include <vector>

#include "service_control.h"
#include "service_state.h"
#include "unique_handle.h"

std::vector<DWORD> OwnServiceProcesses(std::initializer_list<const wchar_t*> serviceNames) {
  std::vector<DWORD> processIds;
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return processIds;
  for (const wchar_t* name : serviceNames) {
    const ServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    if (service && ReadServiceStatus(service.get(), status) && RunsAlone(status)) {
      processIds.push_back(status.dwProcessId);
    }
  }
  return processIds;
}
