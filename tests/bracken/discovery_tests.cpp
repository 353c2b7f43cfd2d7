// Entry and discovery: the switches, the registry probes and their messages, the Apple
// service path.
#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

#include "app_paths.h"
#include "bracken_test_support.h"
#include "entry.h"
#include "import_patch.h"
#include "sequences.h"
#include "system_fakes.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

// The same keys as the 32-bit view names them.
const std::wstring kProductKey32 = L"SOFTWARE\\QNVX\\marvento";
const std::wstring kUninstallKey32 =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}_is1";

Captured RunDiscovery() { return Capture(InitAppPaths); }

// Removes every probed key from both views before and after each test.
class Probes : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override {
    Clean();
    FreeAppPaths();
  }
  static void Clean() {
    for (const std::wstring& key : {kProductKey32, kUninstallKey32}) DeleteTree(KEY_WOW64_32KEY, key);
    for (const std::wstring& key : {kProductKey32, kUninstallKey32, kIpodKey}) DeleteTree(KEY_WOW64_64KEY, key);
    DeleteTree(KEY_WOW64_32KEY, L"SOFTWARE\\QNVX");
    DeleteTree(KEY_WOW64_64KEY, L"SOFTWARE\\QNVX");
    DeleteTree(KEY_WOW64_64KEY, L"SOFTWARE\\Apple Computer, Inc.");
  }
  ScratchDir dir{CurrentTestName()};
};

std::string SetupExists(const std::wstring& path) {
  return "marvento Setup Dir Exist !\r\n App Path: " + Narrow(path) + " \r\n";
}
std::string SetupMissing(const std::wstring& path) {
  return "marvento Setup Dir error or not exist !\r\n App Path: " + Narrow(path) + " \r\n";
}

}  // namespace

TEST_F(Probes, FindNothingInAFreshSystem) {
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, NothingFound());
  EXPECT_EQ(run.log, "GetDrvRegVal error:\n App Reg Path : " + Narrow(kProductKey) + " \n\r\n" +
                         "GetDrvRegVal error:\n App Reg Path : " + Narrow(kUninstallKey) + " \n\r\n" +
                         "GetDrvRegVal error:\n App Reg Path : " + Narrow(kIpodKey) + " \n\r\n");
  EXPECT_TRUE(AppPaths.wow64);
  EXPECT_STREQ(AppPaths.appleServicePath.get(), kAppleServiceExe.c_str());
}

TEST_F(Probes, AnExistingProductFolderEndsTheProductProbe) {
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", dir.path());
  SetText(KEY_WOW64_32KEY, kUninstallKey32, L"InstallLocation", dir.path());
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, SetupExists(dir.path()) + ProbeError(kIpodKey));
  EXPECT_EQ(run.log, "marvento Setup Dir Exist !\n App Path: " + Narrow(dir.path()) + " \n\r\n" +
                         "GetDrvRegVal error:\n App Reg Path : " + Narrow(kIpodKey) + " \n\r\n");
}

TEST_F(Probes, AMissingProductFolderLeadsToTheUninstallEntry) {
  const std::wstring gone = dir / L"gone";
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", gone);
  SetText(KEY_WOW64_32KEY, kUninstallKey32, L"InstallLocation", dir.path());
  EXPECT_EQ(RunDiscovery().out, SetupMissing(gone) + "marvento UnInstall Dir Exist !\r\n App Path: " +
                                    Narrow(dir.path()) + " \r\n" + ProbeError(kIpodKey));

  SetText(KEY_WOW64_32KEY, kUninstallKey32, L"InstallLocation", gone);
  EXPECT_EQ(RunDiscovery().out, SetupMissing(gone) + "marvento UnInstall Dir error or not exist !\r\n App Path: " +
                                    Narrow(gone) + " \r\n" + ProbeError(kIpodKey));
}

TEST_F(Probes, AKeyWithoutTheValueIsSilent) {
  SetText(KEY_WOW64_32KEY, kProductKey32, L"Other", dir.path());
  SetText(KEY_WOW64_32KEY, kUninstallKey32, L"Other", dir.path());
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, ProbeError(kIpodKey));
  EXPECT_EQ(run.log, "GetDrvRegVal error:\n App Reg Path : " + Narrow(kIpodKey) + " \n\r\n");
}

TEST_F(Probes, TheIpodFolderHasItsOwnMessages) {
  SetText(KEY_WOW64_64KEY, kIpodKey, L"InstallDir", dir.path());
  EXPECT_EQ(RunDiscovery().out, ProbeError(kProductKey) + ProbeError(kUninstallKey) +
                                    "iPod Dir error exist !\r\n App Path: " + Narrow(dir.path()) + " \r\n");
  SetText(KEY_WOW64_64KEY, kIpodKey, L"InstallDir", dir / L"gone");
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, ProbeError(kProductKey) + ProbeError(kUninstallKey) +
                         "iPod Dir error or not exist !\r\n App Path: " + Narrow(dir / L"gone") + " \r\n");
  EXPECT_NE(run.log.find("iPod Dir error or not exist !\n App Path: " + Narrow(dir / L"gone") + " \n\r\n"),
            std::string::npos);
}

TEST_F(Probes, ReadTheSixtyFourBitViewOnly) {
  // Where a 32-bit program would read it, the iPod key is not probed.
  SetText(KEY_WOW64_32KEY, kIpodKey, L"InstallDir", dir.path());
  // The product's key outside Wow6432Node belongs to 64-bit programs.
  SetText(KEY_WOW64_64KEY, kProductKey32, L"InstallPath", dir.path());
  EXPECT_EQ(RunDiscovery().out, NothingFound());
  DeleteTree(KEY_WOW64_32KEY, L"SOFTWARE\\Apple Computer, Inc.");
}

TEST_F(Probes, TextsThatDoNotFitThePathBufferAreTooLong) {
  const std::wstring longest = L"C:\\" + std::wstring(256, L'x');  // 259 characters
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", longest);
  EXPECT_EQ(RunDiscovery().out, SetupMissing(longest) + ProbeError(kUninstallKey) + ProbeError(kIpodKey));

  // 260 characters: with the terminator the data exceed the buffer.
  const std::wstring tooLong = longest + L"y";
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", tooLong);
  EXPECT_EQ(RunDiscovery().out, ProbeError(kUninstallKey) + ProbeError(kIpodKey));

  // 260 characters without a terminator fill the buffer exactly. (The registry adds the
  // terminator a caller left out of the count when it follows the data in memory.)
  const std::wstring unterminated = tooLong + L"z";
  SetBytes(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", REG_SZ, unterminated.data(), 520);
  std::string stored;
  ASSERT_TRUE(ReadValue(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", stored));
  ASSERT_EQ(stored.size(), 520u);
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, ProbeError(kUninstallKey) + ProbeError(kIpodKey));
  EXPECT_EQ(run.log.find("marvento"), std::string::npos);
}

TEST_F(Probes, OnlyATextNamesAFolderAndAnExpandableOneIsExpanded) {
  wchar_t systemFolder[kPathChars] = {};
  ASSERT_NE(ExpandEnvironmentStringsW(L"%SystemRoot%\\system32", systemFolder, kPathChars), 0u);
  const DWORD backslash = L'\\';  // as a text, the current drive's root
  const std::string fallback = "marvento UnInstall Dir Exist !\r\n App Path: " + Narrow(dir.path()) + " \r\n";
  struct Case {
    DWORD type;
    std::wstring text;  // the data of the other types
    std::string out;    // empty: the value names no folder and the fallback runs
  };
  const Case cases[] = {
      {REG_EXPAND_SZ, L"%SystemRoot%\\system32", SetupExists(systemFolder)},
      {REG_EXPAND_SZ, L"%SystemRoot%\\" + std::wstring(250, L'x'), ""},  // too long once expanded
      {REG_DWORD, L"", ""},
      {REG_BINARY, dir.path(), ""},
      {REG_MULTI_SZ, dir.path() + L'\0', ""},
  };
  SetText(KEY_WOW64_32KEY, kUninstallKey32, L"InstallLocation", dir.path());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.type);
    if (test.type == REG_DWORD) {
      SetBytes(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", REG_DWORD, &backslash, sizeof backslash);
    } else {
      SetBytes(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", test.type, test.text.c_str(),
               static_cast<DWORD>((test.text.size() + 1) * sizeof(wchar_t)));
    }
    EXPECT_EQ(RunDiscovery().out, (test.out.empty() ? fallback : test.out) + ProbeError(kIpodKey));
  }
}

TEST_F(Probes, GetDrvRegValHandsBackTheTextEvenWhenThePathIsMissing) {
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", dir / L"gone");
  wchar_t path[kPathChars] = L"untouched";
  StdoutCapture capture;
  EXPECT_FALSE(GetDrvRegVal(kProductKey.c_str(), L"InstallPath", path));
  EXPECT_STREQ(path, (dir / L"gone").c_str());
  EXPECT_TRUE(GetDrvRegVal(kProductKey.c_str(), L"INSTALLPATH", path) == false);
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", dir.path());
  EXPECT_TRUE(GetDrvRegVal(kProductKey.c_str(), L"InstallPath", path));
  // The message follows the value name in any letter case; other names print nothing.
  SetText(KEY_WOW64_32KEY, kProductKey32, L"Elsewhere", dir.path());
  EXPECT_TRUE(GetDrvRegVal(kProductKey.c_str(), L"Elsewhere", path));
  EXPECT_EQ(capture.Finish(), SetupMissing(dir / L"gone") + SetupMissing(dir / L"gone") + SetupExists(dir.path()));
}

// In-process: what Wine cannot give (32-bit Windows, another system drive, no system
// directory, a command line that cannot be split).
namespace {

FARPROC WINAPI WithoutIsWow64Process(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "IsWow64Process") == 0) return nullptr;
  return GetProcAddress(module, name);
}

BOOL WINAPI FailingIsWow64Process(HANDLE, PBOOL wow64) {
  *wow64 = TRUE;
  return FALSE;
}

FARPROC WINAPI WithFailingIsWow64Process(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "IsWow64Process") == 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FailingIsWow64Process));
  }
  return GetProcAddress(module, name);
}

LPWSTR* WINAPI FailingCommandLineToArgvW(LPCWSTR, int* count) {
  *count = 0;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

}  // namespace

TEST_F(Probes, OnThirtyTwoBitWindowsUseTheNativeKeysAndFolders) {
  ImportPatch lookup("kernel32.dll", "GetProcAddress", reinterpret_cast<const void*>(&WithoutIsWow64Process));
  EXPECT_FALSE(IsWow64());
  // The 32-bit keys as a 32-bit Windows has them: here, the 64-bit view's.
  SetText(KEY_WOW64_64KEY, kUninstallKey32, L"InstallLocation", dir.path());
  const auto run = RunDiscovery();
  EXPECT_EQ(run.out, ProbeError(kProductKey32) + "marvento UnInstall Dir Exist !\r\n App Path: " + Narrow(dir.path()) +
                         " \r\n" + ProbeError(kIpodKey));
  EXPECT_FALSE(AppPaths.wow64);
  EXPECT_STREQ(AppPaths.appleServicePath.get(),
               L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe");
  // The product's own key, where it exists, ends the product probe there too.
  SetText(KEY_WOW64_64KEY, kProductKey32, L"InstallPath", dir.path());
  EXPECT_EQ(RunDiscovery().out, SetupExists(dir.path()) + ProbeError(kIpodKey));
  // "/startsvc" after this discovery registers Apple's service for the native folder and
  // names the native folders in the support values.
  const std::wstring apple = L"Apple Mobile Device";
  Capture(StartServices);
  EXPECT_EQ(ServiceBinaryPath(apple),
            L"\"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe\"");
  ExpectAllNine(L"C:\\Program Files");
  RemoveService(apple);
  DeleteTree(KEY_WOW64_32KEY, kAppleInc);
}

HMODULE WINAPI NoModuleHandle(LPCWSTR) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

TEST_F(Probes, AFailingWow64QueryCountsAsThirtyTwoBit) {
  const struct {
    const char* function;
    const void* replacement;
  } failures[] = {{"GetProcAddress", reinterpret_cast<const void*>(&WithFailingIsWow64Process)},
                  {"GetModuleHandleW", reinterpret_cast<const void*>(&NoModuleHandle)}};
  for (const auto& failure : failures) {
    ImportPatch patch("kernel32.dll", failure.function, failure.replacement);
    EXPECT_FALSE(IsWow64()) << failure.function;
  }
}

TEST_F(Probes, TheServicePathFollowsTheSystemDrive) {
  FakeSystemDirectory systemDirectory(L"D:\\Windows\\system32");
  RunDiscovery();
  EXPECT_STREQ(AppPaths.appleServicePath.get(),
               L"D:\\Program Files (x86)\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe");
}

TEST_F(Probes, WithoutASystemDirectoryThePathsStartAtTheRoot) {
  FakeSystemDirectory systemDirectory(nullptr);
  EXPECT_EQ(RunDiscovery().out, NothingFound());
  EXPECT_STREQ(AppPaths.appleServicePath.get(),
               L"\\Program Files (x86)\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe");
}

TEST_F(Probes, FreeAppPathsMayRunTwice) {
  RunDiscovery();
  FreeAppPaths();
  EXPECT_EQ(AppPaths.appleServicePath, nullptr);
  FreeAppPaths();
}

TEST_F(Probes, ACommandLineThatCannotBeSplitHasNoSwitch) {
  ImportPatch split("shell32.dll", "CommandLineToArgvW", reinterpret_cast<const void*>(&FailingCommandLineToArgvW));
  StdoutCapture capture;
  EXPECT_EQ(RunBracken(L"Bracken.exe /stopsvc"), 0);
  EXPECT_EQ(capture.Finish(), NothingFound());
  EXPECT_EQ(AppPaths.appleServicePath, nullptr);
}

// Out-of-process: the real program and its command line.
TEST_F(BrackenRun, WithoutASwitchOnlyTheProbesRun) {
  const RunResult run = Bracken(L"");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound());
  EXPECT_EQ(Log(), "GetDrvRegVal error:\n App Reg Path : " + Narrow(kProductKey) + " \n\r\n" +
                       "GetDrvRegVal error:\n App Reg Path : " + Narrow(kUninstallKey) + " \n\r\n" +
                       "GetDrvRegVal error:\n App Reg Path : " + Narrow(kIpodKey) + " \n\r\n");
}

TEST_F(BrackenRun, OtherTextsAreNoSwitch) {
  for (const wchar_t* arguments :
       {L"stopsvc", L"startsvc", L"/stopsvcx", L"/start", L"-stopsvc", L"x /stopsvc", L"\"/stopsvc \""}) {
    const RunResult run = Bracken(arguments);
    EXPECT_EQ(run.exitCode, 0u) << Narrow(arguments);
    EXPECT_EQ(run.out, NothingFound()) << Narrow(arguments);
  }
  EXPECT_EQ(ServiceState(L"Apple Mobile Device"), 0u);
}

TEST_F(BrackenRun, TheFirstSwitchAloneCountsInAnyLetterCase) {
  const std::string stopLines = NothingFound() + "Apple Mobile Device \t OpenService failed (1060)\r\n" +
                                "Apple Mobile Device \t OpenService failed (1060)\r\n" +
                                "VIVavuzaRovuda \t OpenService failed (1060)\r\n" +
                                "iPod Service \t OpenService failed (1060)\r\n";
  for (const wchar_t* arguments : {L"/STOPSVC", L"/StopSvc /startsvc", L"\"/stopSVC\" extra"}) {
    const RunResult run = Bracken(arguments);
    EXPECT_EQ(run.exitCode, 0u) << Narrow(arguments);
    EXPECT_EQ(run.out, stopLines) << Narrow(arguments);
  }
  EXPECT_EQ(ServiceState(L"Apple Mobile Device"), 0u);
}

}  // namespace testing_support::bracken_test
