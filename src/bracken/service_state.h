// What the service operations share: the manager and service handles (one pair per
// process, each operation opening and closing its own), the saved error code and the
// conversion of service names for the log.
#pragma once

#include <windows.h>

#include "console.h"
#include "strtools.h"
#include "unique_handle.h"

extern ServiceHandle g_schSCManager;
extern ServiceHandle g_schService;
extern DWORD g_dwSavedError;
extern CComStrTools g_serviceStrTools;

// Closes the service handle, then the manager handle, when an operation ends.
class OperationHandles {
 public:
  OperationHandles() = default;
  ~OperationHandles() {
    g_schService.reset();
    g_schSCManager.reset();
  }
  OperationHandles(const OperationHandles&) = delete;
  OperationHandles& operator=(const OperationHandles&) = delete;
};

// The service name as narrow text for the log.
inline const char* NarrowName(const wchar_t* name) { return g_serviceStrTools.ToNarrow(name); }

// Console (wide) line and log line about a service, with an optional number after it.
inline void EchoService(const wchar_t* console, const char* log, const wchar_t* name) {
  OutW(console, name);
  LogPrintf(log, NarrowName(name));
}
inline void EchoServiceCode(const wchar_t* console, const char* log, const wchar_t* name, DWORD code) {
  OutW(console, name, code);
  LogPrintf(log, NarrowName(name), code);
}

// Reads the status into `status`; a failed read leaves it as it was.
bool ReadServiceStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);
// Sends the stop control; an accepted control updates the status part of `status`.
bool SendStopControl(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);
// Terminates the process the status names with exit code 0, silently, when the same status
// says that the service runs in a process of its own.
void EndServiceProcess(const SERVICE_STATUS_PROCESS& status);
