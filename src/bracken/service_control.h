// Installs, deletes, starts and stops one named service through the local Service Control
// Manager. The operations report on the console and in the debug log and give no result.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

class ServiceControl {
 public:
  // An own-process, auto-start LocalSystem service that depends on "Tcpip".
  void Install(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* binaryPath,
               const wchar_t* description);
  // Ends the service's process, if it runs in one, and marks the service for deletion.
  void Delete(const wchar_t* serviceName);
  // Waits for a stop in progress, requests the start and waits while it is start pending.
  void Start(const wchar_t* serviceName);
  // Stops the active dependents, then the service, within 30000 ms.
  void Stop(const wchar_t* serviceName);

 private:
  // Stops the active dependents of the service that Stop holds open, through the manager
  // it holds; false at the first that cannot be stopped.
  bool StopDependents(SC_HANDLE manager, SC_HANDLE service);
};

// The processes of those of the named services that run, each in a process of its own.
// Silent; none where the service manager cannot be opened.
std::vector<DWORD> OwnServiceProcesses(std::initializer_list<const wchar_t*> serviceNames);
