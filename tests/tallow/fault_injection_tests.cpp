// Every platform call of each switch failing in turn, in this process, from a state in
// which the switch does real work: packages to add and remove, a device to update and
// examine.
#include <windows.h>

#include <gtest/gtest.h>

#include "build_constants.h"
#include "device_fixtures.h"
#include "driver_paths.h"
#include "fault_injection.h"
#include "switches.h"
#include "system_libraries.h"
#include "tallow_test_support.h"
#include "test_support.h"

namespace testing_support::tallow_test {

namespace {

const std::wstring kStore = L"C:\\difxstore\\store";

faults::Operation Switch(
    const std::string& name, const wchar_t* text, std::set<int> exits, std::function<void()> prepare = [] {}) {
  return {name, std::move(prepare),
          [text] {
            CDriverInfPaths record;
            return RunSwitch(record, text);
          },
          std::move(exits), true};
}

}  // namespace

TEST(FaultInjection, EveryCallOfEverySwitchMayFail) {
  const std::wstring library = BesideTests(kBuild.difxLibrary);
  ASSERT_TRUE(CopyFileW(BesideTests(L"difx_standin.dll").c_str(), library.c_str(), FALSE));
  const SamplePackage usbPackage{kUsbInf,
                                 SampleInf({"Apple Mobile Device USB Driver = Install, USB\\VID_05AC&PID_1290"})};
  const SamplePackage netPackage{kNetInf, SampleInf({}, "Apple")};
  const FakeUsbDevice device{L"VID_05AC&PID_1290", L"FAULTS", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"})};
  const auto emptyStore = [] {
    RemoveTree(kStore);
    MakeDirectories(kStore);
  };
  const auto bothInStore = [emptyStore] {
    emptyStore();
    for (const std::wstring& inf : {kUsbInf, kNetInf})
      WriteBytes(kStore + inf.substr(inf.rfind(L'\\')), "; stored\r\n");
  };
  const std::vector<faults::Operation> operations = {
      {"no switch",
       [] {},
       [] {
         RestrictLibrarySearch();
         return 0;
       },
       {0}},
      Switch("/x", L"/x", {0}),
      Switch("/i", L"/i", {0, 1, 2, 4, 126}, emptyStore),
      Switch("/u", L"/u", {0, 1, 4, 183}, bothInStore),
      Switch("/re", L"/re", {0, 1, 4, 5, 126}),
      Switch("/qu", L"/qu", {1, 3, 4, 5, 126}),
  };
  const faults::Totals totals = faults::RunAll(operations, BesideTests(L"tallow_tests.imports"));
  EXPECT_GT(totals.points, 100u);
  EXPECT_EQ(totals.crashes + totals.hangs + totals.leaks + totals.oddExits, 0u);
  RemoveTree(L"C:\\difxstore");
  DeleteFileW(library.c_str());
}

}  // namespace testing_support::tallow_test
