// The access every call of the service tool asks for, checked on the calls themselves:
// the service operations against the scripted service manager, the sweep and the registry
// writes against the system.
#include <windows.h>

#include <gtest/gtest.h>

#include "app_paths.h"
#include "import_patch.h"
#include "process_sweep.h"
#include "reg_key.h"
#include "scripted_service.h"

namespace testing_support::bracken_test {

namespace {

ImportPatch* g_openProcess = nullptr;
ImportPatch* g_openToken = nullptr;
ImportPatch* g_openKey = nullptr;

HANDLE WINAPI RecordOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  ActiveScript().masks.insert({"OpenProcess", access});
  return g_openProcess->Original<decltype(&OpenProcess)>()(access, inherit, id);
}
BOOL WINAPI RecordOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  ActiveScript().masks.insert({"OpenProcessToken", access});
  return g_openToken->Original<decltype(&OpenProcessToken)>()(process, access, token);
}
LSTATUS WINAPI RecordRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key) {
  ActiveScript().masks.insert({"RegOpenKeyExW", access});
  return g_openKey->Original<decltype(&RegOpenKeyExW)>()(root, subKey, options, access, key);
}
// These two only note what they were asked: nothing is created.
LSTATUS WINAPI RecordRegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM access, const SECURITY_ATTRIBUTES*,
                                     PHKEY, LPDWORD) {
  ActiveScript().masks.insert({"RegCreateKeyExW", access});
  return ERROR_ACCESS_DENIED;
}
SC_HANDLE WINAPI RecordCreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD access, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                      LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
  ActiveScript().masks.insert({"CreateServiceW", access});
  SetLastError(ERROR_SERVICE_EXISTS);
  return nullptr;
}

}  // namespace

TEST_F(ScriptedService, EveryAccessMaskIsTheOneWindowsHasAlwaysBeenGiven) {
  // Some masks of the headers grow with _WIN32_WINNT (PROCESS_ALL_ACCESS is 0x1FFFFF from
  // 0x0600 on); the tools pass the values every Windows since XP accepts.
  ImportPatch openProcess("kernel32.dll", "OpenProcess", reinterpret_cast<const void*>(&RecordOpenProcess));
  ImportPatch openToken("advapi32.dll", "OpenProcessToken", reinterpret_cast<const void*>(&RecordOpenProcessToken));
  ImportPatch openKey("advapi32.dll", "RegOpenKeyExW", reinterpret_cast<const void*>(&RecordRegOpenKeyExW));
  ImportPatch createKey("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<const void*>(&RecordRegCreateKeyExW));
  ImportPatch createService("advapi32.dll", "CreateServiceW", reinterpret_cast<const void*>(&RecordCreateServiceW));
  g_openProcess = &openProcess;
  g_openToken = &openToken;
  g_openKey = &openKey;
  DummyProcess host(BesideTests(L"dummy_process.exe"));
  Answer stopped = Status(SERVICE_STOPPED);
  stopped.processId = host.id();

  using Masks = std::set<std::pair<std::string, DWORD>>;
  const DWORD kManager = 0xF003F;
  struct Row {
    const char* what;
    std::function<void()> run;
    Masks masks;
  };
  const Row rows[] = {
      {"Install",
       [] { ServiceControl().Install(kService.c_str(), kService.c_str(), L"C:\\x.exe", L"x"); },
       {{"OpenSCManagerW", kManager}, {"CreateServiceW", 0xF01FF}}},
      {"Start",
       [&] {
         script.reads[kService] = {Status(SERVICE_RUNNING)};
         ServiceControl().Start(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0xF01FF}}},
      {"Stop with a dependent",
       [&] {
         script.dependents = {kDependentA};
         script.reads[kService] = {Status(SERVICE_RUNNING)};
         script.controls[kDependentA] = {Status(SERVICE_STOPPED)};
         script.controls[kService] = {Status(SERVICE_STOPPED)};
         ServiceControl().Stop(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0x2C}, {"OpenServiceW", 0x24}}},
      {"Stop ending the service's process",
       [&] {
         script.reads[kService] = {stopped};
         ServiceControl().Stop(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0x2C}, {"OpenProcess", 0x1F0FFF}}},
      {"Delete",
       [&] {
         script.reads[kService] = {stopped};
         ServiceControl().Delete(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0xF003F}, {"OpenProcess", 0x1F0FFF}}},
      {"The services' processes",
       [&] {
         script.reads[kService] = {stopped};
         OwnServiceProcesses({kService.c_str()});
       },
       {{"OpenSCManagerW", SC_MANAGER_CONNECT}, {"OpenServiceW", SERVICE_QUERY_STATUS}}},
      {"Discovery",
       [] {
         wchar_t path[kPathChars] = {};
         GetDrvRegVal(L"SOFTWARE\\Apple Computer, Inc.\\iPod\\AppPaths", L"InstallDir", path);
       },
       {{"RegOpenKeyExW", KEY_READ | KEY_WOW64_64KEY}}},
      {"Support values",
       [] { CComRegKey(HKEY_LOCAL_MACHINE).WriteAppleSupportKeys(); },
       {{"RegCreateKeyExW", 0xF003F}}},
      // The sweep opens every process with 0x431; the creation times of its ancestors it
      // reads with the least right that gives them.
      {"Sweep",
       [] { TerminateDeviceProcesses({}); },
       {{"OpenProcessToken", 0x28}, {"OpenProcess", 0x431}, {"OpenProcess", PROCESS_QUERY_LIMITED_INFORMATION}}},
  };
  for (const Row& row : rows) {
    script.masks.clear();
    {
      StdoutCapture quiet;
      row.run();
    }
    EXPECT_EQ(script.masks, row.masks) << row.what;
  }
}

}  // namespace testing_support::bracken_test
