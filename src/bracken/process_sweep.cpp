#include "process_sweep.h"

#include <windows.h>
#include <psapi.h>

#include <cwchar>

#include "unique_handle.h"

namespace {

constexpr DWORD kMaxProcesses = 1024;
constexpr DWORD kMaxModules = 1024;
constexpr DWORD kSweepAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_WRITE | PROCESS_VM_READ | PROCESS_TERMINATE;

// Case-sensitive parts of a module path that mark a process for termination.
constexpr const wchar_t* kNeedles[] = {L"Apple Application Support", L"CoreFP", L"Mobile Device Support",
                                       L"marvento"};

bool HoldsNeedle(const wchar_t* path) {
  for (const wchar_t* needle : kNeedles) {
    if (std::wcsstr(path, needle)) return true;
  }
  return false;
}

void EnableDebugPrivilege(HANDLE token) {
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // Without the privilege in the token the sweep goes on with what it may open anyway.
  LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid);
  AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

void TerminateIfDeviceProcess(DWORD processId) {
  const KernelHandle process(OpenProcess(kSweepAccess, FALSE, processId));
  if (!process) return;
  HMODULE modules[kMaxModules] = {};
  DWORD needed = 0;
  if (!EnumProcessModules(process.get(), modules, sizeof modules, &needed)) return;
  DWORD count = needed / sizeof(HMODULE);
  if (count > kMaxModules) count = kMaxModules;
  for (DWORD i = 0; i < count; ++i) {
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleFileNameExW(process.get(), modules[i], path, MAX_PATH)) continue;
    if (HoldsNeedle(path)) {
      TerminateProcess(process.get(), 0);
      return;
    }
  }
}

}  // namespace

void TerminateDeviceProcesses() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) return;
  const KernelHandle token(opened);
  EnableDebugPrivilege(token.get());

  DWORD processIds[kMaxProcesses] = {};
  DWORD bytes = 0;
  if (!EnumProcesses(processIds, sizeof processIds, &bytes)) return;

  // The tool itself may lie in a folder that holds a needle; it must live on to stop the
  // services.
  const DWORD self = GetCurrentProcessId();
  const DWORD count = bytes / sizeof(DWORD);
  for (DWORD i = 0; i < count; ++i) {
    if (processIds[i] == 0 || processIds[i] == self) continue;
    TerminateIfDeviceProcess(processIds[i]);
  }
}
