// The process sweep of "/stopsvc": which processes end and which live on.
#include <windows.h>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "process_sweep.h"
#include "system_fakes.h"
#include "test_support.h"

using bracken_test::BrackenRun;
using bracken_test::DummyProcess;
using bracken_test::NothingFound;
using testing_support::BesideTests;
using testing_support::CurrentTestName;
using testing_support::LogTail;
using testing_support::MakeDirectories;
using testing_support::RefusedLibrary;
using testing_support::RunResult;
using testing_support::ScratchDir;
using testing_support::StdoutCapture;

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

  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, StopLinesWithoutServices());

  EXPECT_TRUE(Terminated(productExe));
  EXPECT_TRUE(Terminated(supportLibrary));
  EXPECT_TRUE(Terminated(fairPlayLibrary));
  EXPECT_TRUE(Terminated(deviceFolder));
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
    TerminateDeviceProcesses();
  }
  EXPECT_FALSE(target.Ended(300));
  TerminateDeviceProcesses();
  EXPECT_TRUE(Terminated(target));
}

// In-process: without psapi there is nothing to look at; the stop goes on.

TEST(Sweep, WithoutPsapiSaysSoAndEndsNothing) {
  ScratchDir targets(CurrentTestName());
  DummyProcess target(targets / L"marvento\\dummy_process.exe");
  LogTail tail;
  StdoutCapture capture;
  {
    const RefusedLibrary refused(L"psapi.dll");
    TerminateDeviceProcesses();
  }
  EXPECT_EQ(capture.Finish(), "LoadLibrary psapi.dll failed (126)\r\n");
  EXPECT_EQ(tail.Records(), "LoadLibrary psapi.dll failed (126)\n\r\n");
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
BOOL WINAPI FailingEnumProcessModules(HANDLE, HMODULE*, DWORD, LPDWORD) {
  SetLastError(ERROR_PARTIAL_COPY);
  return FALSE;
}
DWORD WINAPI FailingGetModuleFileNameExW(HANDLE, HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_PARTIAL_COPY);
  return 0;
}
HANDLE WINAPI FailingSnapshot(DWORD, DWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

TEST(Sweep, AFailingCallPassesOverWhatItConcerns) {
  struct Case {
    const char* dll;
    const char* function;
    const void* replacement;
    bool ended;  // the needle process, all the same
  };
  const Case cases[] = {
      {"psapi.dll", "EnumProcesses", reinterpret_cast<const void*>(&FailingEnumProcesses), false},
      {"kernel32.dll", "OpenProcess", reinterpret_cast<const void*>(&FailingOpenProcess), false},
      {"psapi.dll", "EnumProcessModules", reinterpret_cast<const void*>(&FailingEnumProcessModules), false},
      {"psapi.dll", "GetModuleFileNameExW", reinterpret_cast<const void*>(&FailingGetModuleFileNameExW), false},
      // Without the process list the tool spares only itself.
      {"kernel32.dll", "CreateToolhelp32Snapshot", reinterpret_cast<const void*>(&FailingSnapshot), true},
  };
  ScratchDir targets(CurrentTestName());
  for (const Case& test : cases) {
    DummyProcess target(targets / L"marvento\\dummy_process.exe");
    {
      const ImportPatch failing(test.dll, test.function, test.replacement);
      TerminateDeviceProcesses();
    }
    EXPECT_EQ(target.Ended(test.ended ? 3000 : 300), test.ended) << test.function;
  }
}
