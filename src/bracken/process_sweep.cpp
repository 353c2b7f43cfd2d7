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

// The first sizes of the identifier and module arrays; each grows until the list fits.
constexpr size_t kFirstProcesses = 1024;
constexpr size_t kFirstModules = 1024;
// The longest path the system gives a process's executable.
constexpr DWORD kImagePathChars = 32768;
constexpr DWORD kSweepAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_WRITE | PROCESS_VM_READ | PROCESS_TERMINATE;
constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
static_assert(kSweepAccess == 0x431 && kTokenAccess == 0x28);
constexpr const wchar_t* kSweepLibraries[] = {L"psapi.dll"};

// Case-sensitive parts of a module path that mark a process for termination.
constexpr const wchar_t* kNeedles[] = {L"Apple Application Support", L"CoreFP", L"Mobile Device Support", L"marvento"};

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
    if (parent == 0 || std::ranges::find(chain, parent) != chain.end() || !CreationTime(parent, parentCreated) ||
        parentCreated > childCreated) {
      break;
    }
    chain.push_back(parent);
    childCreated = parentCreated;
  }
  return chain;
}

// The identifiers of every process, or none when they cannot be listed. The list is read
// again into a larger array while it fills the whole array: it may have been cut.
std::vector<DWORD> ProcessIds() {
  std::vector<DWORD> ids(kFirstProcesses);
  for (;;) {
    // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
    const DWORD size = static_cast<DWORD>(ids.size() * sizeof(DWORD));
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), size, &bytes)) return {};
    if (bytes < size) {
      ids.resize(bytes / sizeof(DWORD));
      return ids;
    }
    ids.resize(ids.size() * 2);
  }
}

// The process's modules, the executable first; false when they cannot be listed. Read
// again into an array of the size the system asks for while the list does not fit.
bool ListModules(HANDLE process, std::vector<HMODULE>& modules) {
  modules.resize(kFirstModules);
  for (;;) {
    // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
    const DWORD size = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules.data(), size, &needed)) return false;
    modules.resize(needed / sizeof(HMODULE));
    if (needed <= size) return true;
  }
}

bool ImageHoldsNeedle(HANDLE process) {
  std::vector<wchar_t> path(kImagePathChars);
  DWORD size = kImagePathChars;
  return QueryFullProcessImageNameW(process, 0, path.data(), &size) && HoldsNeedle(path.data());
}

// The module's full path, whole: a name that fills the buffer may have been cut, and is
// read again into a larger one, up to the longest path the system gives.
bool ReadModulePath(HANDLE process, HMODULE module, std::vector<wchar_t>& path) {
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameExW(process, module, path.data(), size);
    if (length == 0) return false;
    if (length + 1 < size || size >= kImagePathChars) {
      path[std::min(length, size - 1)] = L'\0';
      return true;
    }
    path.resize(std::min<size_t>(path.size() * 2, kImagePathChars));
  }
}

// Whether a module of the process lies under a needle. Where its modules cannot be listed,
// as a 64-bit process's cannot from this 32-bit tool, its executable's path decides.
bool IsDeviceProcess(HANDLE process) {
  std::vector<HMODULE> modules;
  if (!ListModules(process, modules)) return ImageHoldsNeedle(process);
  std::vector<wchar_t> path(MAX_PATH);
  for (HMODULE module : modules) {
    if (ReadModulePath(process, module, path) && HoldsNeedle(path.data())) return true;
  }
  return false;
}

void TerminateIfDeviceProcess(DWORD processId) {
  const KernelHandle process(OpenProcess(kSweepAccess, FALSE, processId));
  // A termination that fails is not noticed: the sweep is silent and goes on.
  if (process && IsDeviceProcess(process.get())) TerminateProcess(process.get(), 0);
}

}  // namespace

void TerminateDeviceProcesses(const std::vector<DWORD>& leftToTheirServices) {
  KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, token.put())) return;
  EnableDebugPrivilege(token.get());

  SystemLibraries libraries;
  if (!libraries.Load(kSweepLibraries)) return;

  const std::vector<DWORD> processIds = ProcessIds();
  if (processIds.empty()) return;

  // The tool must live on to stop the services, and the installer that waits for it, with
  // whatever started that, must live on too, wherever they lie.
  std::vector<DWORD> spared = SelfAndAncestors();
  spared.insert(spared.end(), leftToTheirServices.begin(), leftToTheirServices.end());
  for (const DWORD processId : processIds) {
    if (processId == 0 || std::ranges::find(spared, processId) != spared.end()) continue;
    TerminateIfDeviceProcess(processId);
  }
}
