// Where the driver tool takes its libraries from: system libraries from the system folder
// only, whatever lies beside the tool, and only those the switch needs.
#include <windows.h>

#include <gtest/gtest.h>

#include "device_fixtures.h"
#include "device_test_support.h"
#include "operations.h"
#include "switches.h"
#include "system_fakes.h"

namespace testing_support::tallow_test {

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

TEST(SystemLibraries, ASwitchWhoseLibraryCannotBeLoadedReportsItAndDoesNotRun) {
  struct Case {
    const wchar_t* switchText;
    const wchar_t* library;
  };
  const Case cases[] = {{L"/re", L"newdev.dll"},
                        {L"/re", L"setupapi.dll"},
                        {L"/qu", L"setupapi.dll"},
                        {L"/i", L"setupapi.dll"},
                        {L"/i", L"newdev.dll"}};
  RefusedLibrary refused(L"");
  for (const Case& test : cases) {
    refused.Set(test.library);
    std::unique_ptr<CDriverInfPaths> record;
    {
      StdoutCapture quiet;  // the three path lines
      record = std::make_unique<CDriverInfPaths>();
    }
    SCOPED_TRACE(Narrow(test.switchText));
    const Captured run = Capture([&] { return RunSwitch(*record, test.switchText); });
    const std::string line = "LoadLibrary " + Narrow(test.library) + " failed (126)\n";
    EXPECT_EQ(run.result, kSystemLibraryMissing);
    EXPECT_EQ(run.out, Crlf(line));
    EXPECT_EQ(run.log, Records({line}));
  }
  // "/u" needs none of them.
  refused.Set(L"setupapi.dll");
  StdoutCapture quiet;
  CDriverInfPaths record;
  EXPECT_NE(RunSwitch(record, L"/u"), kSystemLibraryMissing);
  EXPECT_EQ(quiet.Finish().find("LoadLibrary setupapi.dll"), std::string::npos);
}

}  // namespace testing_support::tallow_test
