#include "process_sweep.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <vector>

#include "system_libraries.h"
#include "unique_handle.h"

namespace {

constexpr DWORD kMaxProcesses = 1024;
constexpr DWORD kMaxModules = 1024;
constexpr DWORD kSweepAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_WRITE | PROCESS_VM_READ | PROCESS_TERMINATE;
constexpr const wchar_t* kSweepLibraries[] = {L"psapi.dll"};

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

bool CreationTime(DWORD processId, ULONGLONG& created) {
  const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  FILETIME creation = {};
  FILETIME exit = {};
  FILETIME kernel = {};
  FILETIME user = {};
  if (!process || !GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) return false;
  created = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  return true;
}

// This process and the chain of processes that started it: an installer may run from a
// folder that holds a needle and waits for the tool, as may whatever started it. A parent
// identifier whose process was created after its child names a process that reused the
// identifier, not the parent: the chain ends there, and where a creation time cannot be read.
std::vector<DWORD> SelfAndAncestors() {
  std::vector<DWORD> chain = {GetCurrentProcessId()};
  const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return chain;
  std::map<DWORD, DWORD> parents;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    parents[entry.th32ProcessID] = entry.th32ParentProcessID;
  }

  ULONGLONG childCreated = 0;
  if (!CreationTime(chain.back(), childCreated)) return chain;
  for (auto found = parents.find(chain.back()); found != parents.end(); found = parents.find(chain.back())) {
    const DWORD parent = found->second;
    ULONGLONG parentCreated = 0;
    if (parent == 0 || std::find(chain.begin(), chain.end(), parent) != chain.end() ||
        !CreationTime(parent, parentCreated) || parentCreated > childCreated) {
      break;
    }
    chain.push_back(parent);
    childCreated = parentCreated;
  }
  return chain;
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
  KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;
  EnableDebugPrivilege(token.get());

  SystemLibraries libraries;
  if (!libraries.Load(kSweepLibraries)) return;

  DWORD processIds[kMaxProcesses] = {};
  DWORD bytes = 0;
  if (!EnumProcesses(processIds, sizeof processIds, &bytes)) return;

  // The tool must live on to stop the services, and the installer that waits for it, with
  // whatever started that, must live on too, wherever they lie.
  const std::vector<DWORD> spared = SelfAndAncestors();
  const DWORD count = bytes / sizeof(DWORD);
  for (DWORD i = 0; i < count; ++i) {
    if (processIds[i] == 0 || std::find(spared.begin(), spared.end(), processIds[i]) != spared.end()) continue;
    TerminateIfDeviceProcess(processIds[i]);
  }
}
