// Install: registers the service afresh as an own-process, auto-start LocalSystem service
// that depends on "Tcpip".
#include <string>

#include "console.h"
#include "debuglog.h"
#include "service_control.h"
#include "service_state.h"
#include "strtools.h"

namespace {

static_assert(SERVICE_ALL_ACCESS == 0xF01FF);

// An executable path with blanks must reach the manager in quotes, or a LocalSystem
// service start tries each blank-cut prefix of it as a program first.
std::wstring QuotedPath(const wchar_t* path) {
  std::wstring text = path;
  if (!text.empty() && text.front() == L'"') return text;
  return L"\"" + text + L"\"";
}

}  // namespace

void ServiceControl::Install(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* binaryPath,
                             const wchar_t* description) {
  LogPrintf("\n %s install opt : \n", NarrowName(serviceName));
  OperationHandles handles;

  const SC_HANDLE manager = handles.OpenManager(nullptr);
  if (!manager) return;

  // Only the fixed part of the record is offered; the lock state never stops the install.
  QUERY_SERVICE_LOCK_STATUSW lockStatus = {};
  DWORD needed = 0;
  if (QueryServiceLockStatusW(manager, &lockStatus, sizeof lockStatus, &needed)) {
    EchoService(TOOLS_TWIN("%s \t cur svc lock status: %ld \n"), serviceName, static_cast<long>(lockStatus.fIsLocked));
  }

  // "Tcpip" and the closing zeros of the list.
  wchar_t dependencies[MAX_PATH] = {};
  CopyBounded(dependencies, MAX_PATH, L"Tcpip");

  const std::wstring path = QuotedPath(binaryPath);
  const SC_HANDLE service = handles.HoldService(CreateServiceW(
      manager, serviceName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
      SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr));
  if (!service) {
    EchoService(TOOLS_TWIN("%s \t CreateService failed (%d)\n"), serviceName, SaveError(GetLastError()));
    return;
  }
  EchoService(TOOLS_TWIN("%s \t Service installed successfully\n"), serviceName);

  SERVICE_DESCRIPTIONW serviceDescription = {const_cast<wchar_t*>(description)};
  if (ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &serviceDescription)) {
    OutW(L"%s \t Service description updated successfully.\n", serviceName);
  } else {
    OutW(L"%s \t ChangeServiceConfig2 failed: (%ld)\n", serviceName, GetLastError());
  }
}
