// The process sweep of "/stopsvc": which processes end and which live on.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "process_sweep.h"
#include "system_fakes.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

std::string StopLinesWithoutServices() {
  return NothingFound() + "Apple Mobile Device \t OpenService failed (1060)\r\n" +
         "Apple Mobile Device \t OpenService failed (1060)\r\n" + "VIVavuzaRovuda \t OpenService failed (1060)\r\n" +
         "iPod Service \t OpenService failed (1060)\r\n";
}

// dummy_module.dll copied to `path`; the quoted path, as dummy_process takes it.
std::wstring PlaceModule(const std::wstring& path) {
  MakeDirectories(path.substr(0, path.rfind(L'\\')));
  EXPECT_TRUE(CopyFileW(BesideTests(L"dummy_module.dll").c_str(), path.c_str(), FALSE));
  return L"\"" + path + L"\"";
}

bool Terminated(const DummyProcess& process) {
  DWORD exitCode = 99;
  return process.Ended(3000, &exitCode) && exitCode == 0;
}

}  // namespace

TEST_F(BrackenRun, StopEndsTheProcessesWhoseModulesLieUnderANeedle) {
  ScratchDir targets(CurrentTestName() + L"_targets");
  DummyProcess productExe(targets / L"a\\marvento\\dummy_process.exe");
  DummyProcess wrongCase(targets / L"b\\Marvento\\dummy_process.exe");
  DummyProcess plain(targets / L"c\\plain\\dummy_process.exe");
  DummyProcess supportLibrary(targets / L"d\\dummy_process.exe",
                              PlaceModule(targets / L"d\\Apple Application Support\\dummy_module.dll"));
  DummyProcess fairPlayLibrary(targets / L"e\\dummy_process.exe", PlaceModule(targets / L"e\\lib\\CoreFP.dll"));
  DummyProcess lowerCaseFolder(targets / L"f\\dummy_process.exe",
                               PlaceModule(targets / L"f\\mobile device support\\dummy_module.dll"));
  DummyProcess deviceFolder(targets / L"g\\Mobile Device Support\\dummy_process.exe");
  // A 64-bit process, whose modules this 32-bit tool cannot list, is judged by its executable.
  DummyProcess deviceFolder64(targets / L"h\\marvento\\dummy_process64.exe");
  DummyProcess plain64(targets / L"i\\plain\\dummy_process64.exe");
  // A needle in the library's own name only, past the 260th character of its path.
  std::wstring deep = targets / L"j";
  while (deep.size() < 300) deep += L"\\deep-folder";
  DummyProcess deepLibrary(targets / L"j\\dummy_process.exe", PlaceModule(L"\\\\?\\" + deep + L"\\CoreFP.dll"));

  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, StopLinesWithoutServices());

  EXPECT_TRUE(Terminated(productExe));
  EXPECT_TRUE(Terminated(supportLibrary));
  EXPECT_TRUE(Terminated(fairPlayLibrary));
  EXPECT_TRUE(Terminated(deviceFolder));
  EXPECT_TRUE(Terminated(deviceFolder64));
  EXPECT_TRUE(Terminated(deepLibrary));
  EXPECT_FALSE(plain64.Ended(0));
  EXPECT_FALSE(wrongCase.Ended(0));
  EXPECT_FALSE(plain.Ended(0));
  EXPECT_FALSE(lowerCaseFolder.Ended(0));
}

TEST_F(BrackenRun, StopCompletesWhenTheToolLiesUnderANeedle) {
  ScratchDir product(CurrentTestName() + L"_tool");
  const std::wstring folder = product / L"Programs\\marvento";
  MakeDirectories(folder);
  ASSERT_TRUE(CopyFileW(BesideTests(L"Bracken.exe").c_str(), (folder + L"\\Bracken.exe").c_str(), FALSE));
  DummyProcess target(product / L"Programs\\marvento\\dummy_process.exe");

  const RunResult run = testing_support::Run(folder + L"\\Bracken.exe", L"/stopsvc", folder);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, StopLinesWithoutServices());
  EXPECT_TRUE(Terminated(target));
}

TEST_F(BrackenRun, StopSparesTheProgramsThatStartedTheTool) {
  // An installer in a product folder starts its helper, which runs the tool and waits; the
  // dummy launchers exit with their child's exit code plus one.
  ScratchDir product(CurrentTestName() + L"_installer");
  const std::wstring launcher = product / L"marvento\\setup\\dummy_process.exe";
  MakeDirectories(product / L"marvento\\setup");
  ASSERT_TRUE(CopyFileW(BesideTests(L"dummy_process.exe").c_str(), launcher.c_str(), FALSE));
  DummyProcess bystander(product / L"marvento\\other\\dummy_process.exe");

  const RunResult run = testing_support::Run(
      launcher, L"run \"" + launcher + L"\" run \"" + (dir / L"Bracken.exe") + L"\" /stopsvc", dir.path());
  EXPECT_EQ(run.exitCode, 2u) << "0: the installer was ended; 1: its helper was";
  EXPECT_EQ(run.out, StopLinesWithoutServices());
  EXPECT_TRUE(Terminated(bystander));
}

// In-process: a token that cannot be opened ends the sweep before anything is ended.
namespace {

BOOL WINAPI FailingOpenProcessToken(HANDLE, DWORD, PHANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

}  // namespace

TEST(Sweep, WithoutItsTokenEndsNothing) {
  ScratchDir targets(CurrentTestName());
  DummyProcess target(targets / L"marvento\\dummy_process.exe");
  {
    ImportPatch token("advapi32.dll", "OpenProcessToken", reinterpret_cast<const void*>(&FailingOpenProcessToken));
    TerminateDeviceProcesses({});
  }
  EXPECT_FALSE(target.Ended(300));
  TerminateDeviceProcesses({});
  EXPECT_TRUE(Terminated(target));
}

// In-process: without psapi there is nothing to look at; the stop goes on.

TEST(Sweep, WithoutPsapiSaysSoAndEndsNothing) {
  ScratchDir targets(CurrentTestName());
  DummyProcess target(targets / L"marvento\\dummy_process.exe");
  const Captured sweep = Capture([] {
    const RefusedLibrary refused(L"psapi.dll");
    TerminateDeviceProcesses({});
  });
  EXPECT_EQ(sweep.out, "LoadLibrary psapi.dll failed (126)\r\n");
  EXPECT_EQ(sweep.log, "LoadLibrary psapi.dll failed (126)\n\r\n");
  EXPECT_FALSE(target.Ended(300));
}

// In-process: calls of the sweep that fail pass over what they concern; the rest goes on.
namespace {

BOOL WINAPI FailingEnumProcesses(DWORD*, DWORD, DWORD*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
HANDLE WINAPI FailingOpenProcess(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}
// As Windows answers a 32-bit process about a 64-bit one.
BOOL WINAPI FailingEnumProcessModules(HANDLE, HMODULE*, DWORD, LPDWORD) {
  SetLastError(ERROR_PARTIAL_COPY);
  return FALSE;
}
DWORD WINAPI FailingGetModuleFileNameExW(HANDLE, HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_PARTIAL_COPY);
  return 0;
}
BOOL WINAPI FailingQueryFullProcessImageNameW(HANDLE, DWORD, LPWSTR, PDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI FailingGetProcessTimes(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
HANDLE WINAPI FailingSnapshot(DWORD, DWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return INVALID_HANDLE_VALUE;
}

struct Replacement {
  const char* dll;
  const char* function;
  const void* replacement;
};

// Replaces the named imports for the life of the object.
class Replacements {
 public:
  explicit Replacements(const std::vector<Replacement>& replacements) {
    for (const Replacement& each : replacements) {
      patches_.push_back(std::make_unique<ImportPatch>(each.dll, each.function, each.replacement));
    }
  }

 private:
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};

}  // namespace

TEST(Sweep, AFailingCallPassesOverWhatItConcerns) {
  struct Case {
    std::vector<Replacement> failing;
    bool ended;  // the needle process, all the same
  };
  const Replacement enumProcesses{"psapi.dll", "EnumProcesses", reinterpret_cast<const void*>(&FailingEnumProcesses)};
  const Replacement openProcess{"kernel32.dll", "OpenProcess", reinterpret_cast<const void*>(&FailingOpenProcess)};
  const Replacement enumModules{"psapi.dll", "EnumProcessModules",
                                reinterpret_cast<const void*>(&FailingEnumProcessModules)};
  const Replacement modulePath{"psapi.dll", "GetModuleFileNameExW",
                               reinterpret_cast<const void*>(&FailingGetModuleFileNameExW)};
  const Replacement imagePath{"kernel32.dll", "QueryFullProcessImageNameW",
                              reinterpret_cast<const void*>(&FailingQueryFullProcessImageNameW)};
  const Replacement snapshot{"kernel32.dll", "CreateToolhelp32Snapshot",
                             reinterpret_cast<const void*>(&FailingSnapshot)};
  const Replacement times{"kernel32.dll", "GetProcessTimes", reinterpret_cast<const void*>(&FailingGetProcessTimes)};
  const Case cases[] = {
      {{enumProcesses}, false},
      {{openProcess}, false},
      // Modules that cannot be listed: the executable's path decides.
      {{enumModules}, true},
      {{enumModules, imagePath}, false},
      {{modulePath}, false},
      // Without the process list, or its own creation time, the tool spares only itself.
      {{snapshot}, true},
      {{times}, true},
  };
  ScratchDir targets(CurrentTestName());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.failing.back().function + std::string(test.failing.size() > 1 ? " and more" : ""));
    DummyProcess target(targets / L"marvento\\dummy_process.exe");
    {
      Replacements failing(test.failing);
      TerminateDeviceProcesses({});
    }
    EXPECT_EQ(target.Ended(test.ended ? 3000 : 300), test.ended);
  }
}

// In-process: lists longer than the first arrays hold, and a parent identifier that a newer
// process has taken over, which Wine cannot produce.
namespace {

ImportPatch* g_original = nullptr;
DWORD g_fakeParent = 0;  // reported as the parent of this process
const size_t kPadding = 1100;

// The system's process list behind kPadding identifiers 0, cut to the caller's array.
BOOL WINAPI LongProcessList(DWORD* ids, DWORD size, DWORD* bytes) {
  std::vector<DWORD> list(4096);
  DWORD got = 0;
  if (!g_original->Original<decltype(&EnumProcesses)>()(list.data(), 4096 * sizeof(DWORD), &got)) return FALSE;
  list.resize(got / sizeof(DWORD));
  list.insert(list.begin(), kPadding, 0);
  *bytes = std::min<DWORD>(size, static_cast<DWORD>(list.size() * sizeof(DWORD)));
  std::memcpy(ids, list.data(), *bytes);
  return TRUE;
}
// The process's modules behind kPadding handles that name no module.
BOOL WINAPI LongModuleList(HANDLE process, HMODULE* modules, DWORD size, DWORD* needed) {
  std::vector<HMODULE> list(4096);
  DWORD got = 0;
  if (!g_original->Original<decltype(&EnumProcessModules)>()(process, list.data(), 4096 * sizeof(HMODULE), &got)) {
    return FALSE;
  }
  list.resize(got / sizeof(HMODULE));
  list.insert(list.begin(), kPadding, reinterpret_cast<HMODULE>(1));
  *needed = static_cast<DWORD>(list.size() * sizeof(HMODULE));
  std::memcpy(modules, list.data(), std::min(size, *needed));
  return TRUE;
}
ImportPatch* g_first = nullptr;
ImportPatch* g_next = nullptr;
bool g_hideFakeParent = false;  // the fake parent's own entry left out of the list
BOOL WithFakeParent(BOOL found, HANDLE snapshot, LPPROCESSENTRY32W entry) {
  while (found && g_hideFakeParent && entry->th32ProcessID == g_fakeParent) {
    found = g_next->Original<decltype(&Process32NextW)>()(snapshot, entry);
  }
  if (found && entry->th32ProcessID == GetCurrentProcessId()) entry->th32ParentProcessID = g_fakeParent;
  return found;
}
BOOL WINAPI FirstWithFakeParent(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  return WithFakeParent(g_first->Original<decltype(&Process32FirstW)>()(snapshot, entry), snapshot, entry);
}
BOOL WINAPI NextWithFakeParent(HANDLE snapshot, LPPROCESSENTRY32W entry) {
  return WithFakeParent(g_next->Original<decltype(&Process32NextW)>()(snapshot, entry), snapshot, entry);
}
// Creation times, with the fake parent's put at the start of time.
BOOL WINAPI WithOldFakeParent(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
  const BOOL read = g_original->Original<decltype(&GetProcessTimes)>()(process, creation, exit, kernel, user);
  if (read && GetProcessId(process) == g_fakeParent) *creation = {1, 0};
  return read;
}
// The fake parent's creation time cannot be read.
BOOL WINAPI WithUnreadableFakeParent(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                                     FILETIME* user) {
  if (GetProcessId(process) == g_fakeParent) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return g_original->Original<decltype(&GetProcessTimes)>()(process, creation, exit, kernel, user);
}

// Every module of one process named by a text longer than any buffer, which no system
// gives: the sweep reads it into the longest path buffer and judges what that holds.
DWORD g_endlessFor = 0;
DWORD WINAPI EndlessModulePath(HANDLE process, HMODULE module, LPWSTR name, DWORD size) {
  if (GetProcessId(process) != g_endlessFor) {
    return g_original->Original<decltype(&GetModuleFileNameExW)>()(process, module, name, size);
  }
  EXPECT_LE(size, 32768u);
  std::fill(name, name + size - 1, L'x');
  name[size - 1] = L'\0';
  return size - 1;
}

}  // namespace

TEST(Sweep, EveryProcessAndModuleIsExaminedAndOnlyRealAncestorsAreSpared) {
  struct Case {
    const char* what;
    Replacement replacement;  // none without a dll
    bool fakeParent;
    bool ended;
    bool hideParentEntry = false;  // the parent's own entry left out of the process list
  };
  const Case cases[] = {
      {"more processes than the first array holds",
       {"psapi.dll", "EnumProcesses", reinterpret_cast<const void*>(&LongProcessList)},
       false,
       true},
      {"more modules than the first array holds",
       {"psapi.dll", "EnumProcessModules", reinterpret_cast<const void*>(&LongModuleList)},
       false,
       true},
      {"module names that never fit",
       {"psapi.dll", "GetModuleFileNameExW", reinterpret_cast<const void*>(&EndlessModulePath)},
       false,
       false},
      // The needle process started after this one: it cannot be this process's parent.
      {"a parent identifier taken over by a newer process", {nullptr, nullptr, nullptr}, true, true},
      {"a parent older than its child",
       {"kernel32.dll", "GetProcessTimes", reinterpret_cast<const void*>(&WithOldFakeParent)},
       true,
       false},
      // The chain ends where a creation time cannot be read.
      {"a parent whose creation time cannot be read",
       {"kernel32.dll", "GetProcessTimes", reinterpret_cast<const void*>(&WithUnreadableFakeParent)},
       true,
       true},
      // An ancestor whose own entry is gone from the list ends the chain there.
      {"an older parent whose own entry is not listed",
       {"kernel32.dll", "GetProcessTimes", reinterpret_cast<const void*>(&WithOldFakeParent)},
       true,
       false,
       true},
  };
  ScratchDir targets(CurrentTestName());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    // The needle lies in a library, not in the executable, the first module.
    DummyProcess target(targets / L"d\\dummy_process.exe",
                        PlaceModule(targets / L"d\\Apple Application Support\\dummy_module.dll"));
    g_fakeParent = test.fakeParent ? target.id() : 0;
    g_endlessFor = target.id();
    g_hideFakeParent = test.hideParentEntry;
    {
      std::optional<ImportPatch> replaced;
      std::optional<ImportPatch> first;
      std::optional<ImportPatch> next;
      if (test.replacement.dll) {
        g_original = &replaced.emplace(test.replacement.dll, test.replacement.function, test.replacement.replacement);
      }
      if (test.fakeParent) {
        g_first =
            &first.emplace("kernel32.dll", "Process32FirstW", reinterpret_cast<const void*>(&FirstWithFakeParent));
        g_next = &next.emplace("kernel32.dll", "Process32NextW", reinterpret_cast<const void*>(&NextWithFakeParent));
      }
      TerminateDeviceProcesses({});
    }
    EXPECT_EQ(target.Ended(test.ended ? 3000 : 300), test.ended);
  }
}

}  // namespace testing_support::bracken_test
