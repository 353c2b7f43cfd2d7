// What the service operations share, and only they include: the module's one manager
// handle and one service handle, which the running operation opens and closes, the error
// code it saved, and the conversion of service names for the log. The state itself lives
// in service_state.cpp and is reached only through this interface.
#pragma once

#include <windows.h>

#include "console.h"

// The handles of one operation: opened into the module's two handles through this object,
// closed when it goes, the service handle first, then the manager handle.
class OperationHandles {
 public:
  OperationHandles() = default;
  ~OperationHandles();
  OperationHandles(const OperationHandles&) = delete;
  OperationHandles& operator=(const OperationHandles&) = delete;

  // The local manager with every access right; null when it cannot be opened, with the
  // failure shown on the console: with the service's name when `nameInFailure` gives one,
  // else as the narrow line without it.
  SC_HANDLE OpenManager(const wchar_t* nameInFailure);
  // The service, opened through the manager with `access` and held; null when it cannot
  // be opened, with the failure shown on the console.
  SC_HANDLE OpenServiceHandle(const wchar_t* serviceName, DWORD access);
  // Holds the service handle that the operation created through the manager, and gives it
  // back.
  SC_HANDLE HoldService(SC_HANDLE service);
};

// Keeps `code` as the module's saved error code and gives it back.
DWORD SaveError(DWORD code);

// Converts service names for the log; a result is valid until the next conversion.
CComStrTools& ServiceNameTools();
inline const char* NarrowName(const wchar_t* name) { return ServiceNameTools().ToNarrow(name); }

// A console (wide) line and its log twin about a service, with any numbers after its name.
template <typename... Numbers>
void EchoService(const wchar_t* console, const char* log, const wchar_t* name, Numbers... numbers) {
  EchoText(ServiceNameTools(), console, log, name, numbers...);
}

// Reads the status into `status`; a failed read leaves it as it was.
bool ReadServiceStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);
// Sends the stop control; an accepted control updates the status part of `status`.
bool SendStopControl(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);
// Whether the status names a process in which the service runs alone, not a host that it
// shares with other services.
bool RunsAlone(const SERVICE_STATUS_PROCESS& status);
// Terminates the process the status names with exit code 0, silently, when the service runs
// alone in it.
void EndServiceProcess(const SERVICE_STATUS_PROCESS& status);
