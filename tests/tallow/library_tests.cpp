// Where the driver tool takes its libraries from: system libraries from the system folder
// only, whatever lies beside the tool, and only those the switch needs.
#include <windows.h>

#include <gtest/gtest.h>

#include "device_fixtures.h"
#include "device_test_support.h"
#include "import_patch.h"
#include "operations.h"
#include "switches.h"

using tallow_test::BoundAppleDevice;
using tallow_test::Crlf;
using tallow_test::FakeUsbDevice;
using tallow_test::NativeFirst;
using tallow_test::PathLines;
using tallow_test::Records;
using tallow_test::SampleInf;
using tallow_test::SamplePackage;
using tallow_test::TallowRun;
using tallow_test::kUsbInf;
using testing_support::LogTail;
using testing_support::Narrow;
using testing_support::RunResult;
using testing_support::StdoutCapture;

TEST_F(TallowRun, SystemLibrariesBesideTheToolAreNeverLoaded) {
  Plant(L"newdev.dll");
  Plant(L"setupapi.dll");
  const NativeFirst preferPlanted({L"newdev", L"setupapi"});
  SamplePackage inf(kUsbInf, SampleInf({"%Device% = Install, USB\\VID_05AC&PID_1290"}));
  FakeUsbDevice device(L"VID_05AC&PID_1290", L"P1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"}, 0));

  RunResult run = Tallow(L"");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "");

  run = Tallow(L"/qu");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.out.find("0 appdrv HarewareID \t = usb\\vid_05ac&pid_1290\r\n"), std::string::npos) << run.out;

  // The update goes through the system's own library.
  run = Tallow(L"/re");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, PathLines() + Crlf("\n UpdateDevice Opt: \n Driver Update Successed!\n"));

  EXPECT_FALSE(Loaded(L"newdev.dll"));
  EXPECT_FALSE(Loaded(L"setupapi.dll"));
}

// In-process: a system library that cannot be loaded.
namespace {

const wchar_t* g_refusedLibrary = nullptr;
ImportPatch* g_loadLibrary = nullptr;

HMODULE WINAPI RefusingLoadLibraryW(LPCWSTR path) {
  const std::wstring text = path;
  const std::wstring name = g_refusedLibrary;
  if (text.size() > name.size() && _wcsicmp(text.c_str() + text.size() - name.size() - 1, (L"\\" + name).c_str()) == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return g_loadLibrary->Original<decltype(&LoadLibraryW)>()(path);
}

}  // namespace

TEST(SystemLibraries, ASwitchWhoseLibraryCannotBeLoadedReportsItAndDoesNotRun) {
  struct Case {
    const wchar_t* switchText;
    const wchar_t* library;
  };
  const Case cases[] = {{L"/re", L"newdev.dll"}, {L"/re", L"setupapi.dll"}, {L"/qu", L"setupapi.dll"},
                        {L"/i", L"setupapi.dll"}, {L"/i", L"newdev.dll"}};
  ImportPatch loadLibrary("kernel32.dll", "LoadLibraryW", reinterpret_cast<const void*>(&RefusingLoadLibraryW));
  g_loadLibrary = &loadLibrary;
  for (const Case& test : cases) {
    g_refusedLibrary = test.library;
    std::unique_ptr<CDriverInfPaths> record;
    {
      StdoutCapture quiet;  // the three path lines
      record = std::make_unique<CDriverInfPaths>();
    }
    LogTail tail;
    StdoutCapture capture;
    const int result = RunSwitch(*record, test.switchText);
    const std::string line = "LoadLibrary " + Narrow(test.library) + " failed (126)\n";
    EXPECT_EQ(result, kSystemLibraryMissing) << Narrow(test.switchText);
    EXPECT_EQ(capture.Finish(), Crlf(line)) << Narrow(test.switchText);
    EXPECT_EQ(tail.Records(), Records({line})) << Narrow(test.switchText);
  }
  // "/u" needs none of them.
  g_refusedLibrary = L"setupapi.dll";
  StdoutCapture quiet;
  CDriverInfPaths record;
  EXPECT_NE(RunSwitch(record, L"/u"), kSystemLibraryMissing);
  EXPECT_EQ(quiet.Finish().find("LoadLibrary setupapi.dll"), std::string::npos);
}
