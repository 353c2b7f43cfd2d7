// The driver tool's entry: argument handling, the package paths and the INF copies.
#include <windows.h>

#include <gtest/gtest.h>

#include "device_fixtures.h"
#include "driver_paths.h"
#include "import_patch.h"
#include "system_fakes.h"
#include "tallow_test_support.h"
#include "test_support.h"

namespace testing_support::tallow_test {

namespace {

const std::wstring kWindowsInf = L"C:\\windows\\inf\\";

// Sample package files at the fixed locations, and no copies of them yet; all of it is
// gone again at the end of the test.
class EntryRun : public TallowRun {
 protected:
  void SetUp() override {
    TallowRun::SetUp();
    DeleteCopies();
  }
  void TearDown() override { DeleteCopies(); }
  static void DeleteCopies() {
    DeleteFileW((kWindowsInf + L"usbaapl.inf").c_str());
    DeleteFileW((kWindowsInf + L"netaapl.inf").c_str());
  }

  SamplePackage usb{kUsbInf, "; usb sample\r\n"};
  SamplePackage net{kNetInf, "; net sample\r\n"};
};

}  // namespace

TEST_F(EntryRun, WithoutArgumentsDoesNothing) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(FileExists(kWindowsInf + L"usbaapl.inf"));
  EXPECT_FALSE(FileExists(dir / L"log"));
}

TEST_F(EntryRun, UnknownSwitchesPrintThePathsAndGiveZero) {
  for (const wchar_t* arguments : {L"/x", L"/ix", L"-i", L"/install", L"i", L"/re/qu", L"/x /i"}) {
    const RunResult run = Tallow(arguments);
    EXPECT_EQ(run.exitCode, 0u) << Narrow(arguments);
    EXPECT_EQ(run.out, PathLines()) << Narrow(arguments);
  }
}

TEST_F(TallowRun, PathLinesAreNotLogged) {
  WriteBytes(dir / L"debuglog.cfg", "");
  EXPECT_EQ(Tallow(L"/x").out, PathLines());
  EXPECT_FALSE(FileExists(dir / L"log"));
}

TEST_F(EntryRun, CopiesTheInfFilesIntoTheWindowsInfFolderOnlyInTheI386Build) {
  WriteBytes(kWindowsInf + L"usbaapl.inf", "; an older copy\r\n");
  EXPECT_EQ(Tallow(L"/x").exitCode, 0u);
#if defined(_WIN64)
  EXPECT_EQ(ReadBytes(kWindowsInf + L"usbaapl.inf"), "; an older copy\r\n");
  EXPECT_FALSE(FileExists(kWindowsInf + L"netaapl.inf"));
#else
  EXPECT_EQ(ReadBytes(kWindowsInf + L"usbaapl.inf"), "; usb sample\r\n");
  EXPECT_EQ(ReadBytes(kWindowsInf + L"netaapl.inf"), "; net sample\r\n");
#endif
}

TEST_F(TallowRun, MissingPackagesAreNotReportedByTheEntry) {
  ASSERT_FALSE(FileExists(kUsbInf)) << "an earlier test left its package behind";
  const RunResult run = Tallow(L"/x");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines());
}

// In-process: system directories that Wine cannot give.
namespace {

std::vector<std::pair<std::wstring, std::wstring>> g_copies;

BOOL WINAPI RecordCopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  EXPECT_FALSE(failIfExists);
  g_copies.emplace_back(from, to);
  return FALSE;
}

}  // namespace

class DriverPaths : public ::testing::Test {
 protected:
  void SetUp() override { g_copies.clear(); }
  FakeSystemDirectory systemDirectory{nullptr};
};

TEST_F(DriverPaths, FollowTheDriveOfTheSystemDirectory) {
  systemDirectory.Set(L"D:\\Windows\\system32");
  ImportPatch copy("kernel32.dll", "CopyFileW", reinterpret_cast<const void*>(&RecordCopyFileW));
  StdoutCapture capture;
  CDriverInfPaths record;
  const std::string out = capture.Finish();

  const std::wstring packages = L"D:" + kPackages.substr(2);
  const std::wstring usb = L"D:" + kUsbInf.substr(2);
  const std::wstring net = L"D:" + kNetInf.substr(2);
  EXPECT_STREQ(record.drvInfPath.get(), usb.c_str());
  EXPECT_STREQ(record.netInfPath.get(), net.c_str());
  EXPECT_EQ(Narrow(record.infSection), kSection);
  EXPECT_EQ(out, "net inf path : " + Narrow(net) + " \r\ndrv inf path : " + Narrow(usb) + " \r\ninf sec : " + kSection +
                     " \r\n");
#if defined(_WIN64)
  EXPECT_TRUE(g_copies.empty());
#else
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {{usb, L"D:\\Windows\\inf\\usbaapl.inf"},
                                                                       {net, L"D:\\Windows\\inf\\netaapl.inf"}};
  EXPECT_EQ(g_copies, expected);
#endif
}

TEST_F(DriverPaths, WithoutASystemDirectoryAreRelativeToTheCurrentFolder) {
  ScratchDir work(CurrentTestName());
  const std::wstring relativeUsb = kUsbInf.substr(3);
  const std::wstring relativeNet = kNetInf.substr(3);
  MakeDirectories(work / (kPackages.substr(3) + L"Drivers"));
  MakeDirectories(work / (kPackages.substr(3) + L"NetDrivers"));
  MakeDirectories(work / L"inf");
  WriteBytes(work / relativeUsb, "usb");
  WriteBytes(work / relativeNet, "net");

  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(work.path().c_str());
  StdoutCapture capture;
  {
    CDriverInfPaths record;
    EXPECT_STREQ(record.drvInfPath.get(), relativeUsb.c_str());
    EXPECT_STREQ(record.netInfPath.get(), relativeNet.c_str());
  }
  const std::string out = capture.Finish();
  SetCurrentDirectoryW(previous);

  EXPECT_EQ(out, "net inf path : " + Narrow(relativeNet) + " \r\ndrv inf path : " + Narrow(relativeUsb) +
                     " \r\ninf sec : " + kSection + " \r\n");
#if defined(_WIN64)
  EXPECT_FALSE(FileExists(work / L"inf\\usbaapl.inf"));
#else
  EXPECT_EQ(ReadBytes(work / L"inf\\usbaapl.inf"), "usb");
  EXPECT_EQ(ReadBytes(work / L"inf\\netaapl.inf"), "net");
#endif
}

}  // namespace testing_support::tallow_test
