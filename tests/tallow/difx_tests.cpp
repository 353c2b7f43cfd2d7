// "/i" and "/u" against the stand-in driver-install library and its driver store.
#include <windows.h>

#include <sstream>

#include <gtest/gtest.h>

#include "build_constants.h"
#include "device_fixtures.h"
#include "device_test_support.h"
#include "import_patch.h"
#include "operations.h"
#include "tallow_test_support.h"
#include "test_support.h"

namespace testing_support::tallow_test {

namespace {

const std::wstring kDifxRoot = L"C:\\difxstore";

std::string FileNameOf(const std::wstring& path) { return Narrow(path.substr(path.rfind(L'\\') + 1)); }
std::string StoreCopyOf(const std::wstring& inf) { return "C:\\difxstore\\store\\" + FileNameOf(inf); }
std::string PackageOf(const std::wstring& inf) {
  const std::string name = FileNameOf(inf);
  return name.substr(0, name.rfind('.'));
}

class DifxRun : public TallowRun {
 protected:
  void SetUp() override {
    TallowRun::SetUp();
    RemoveTree(kDifxRoot);
    MakeDirectories(kDifxRoot + L"\\store");
    UseLibrary(L"difx_standin.dll");
  }
  void TearDown() override { RemoveTree(kDifxRoot); }

  // Puts one of the stand-in's variants beside the tool under the build's library name.
  void UseLibrary(const std::wstring& variant) {
    ASSERT_TRUE(CopyFileW(BesideTests(variant).c_str(), (dir / kBuild.difxLibrary).c_str(), FALSE));
  }
  void PutInStore(const std::wstring& inf) {
    WriteBytes(kDifxRoot + L"\\store\\" + inf.substr(inf.rfind(L'\\') + 1), "; stored\r\n");
  }
  bool InStore(const std::wstring& inf) {
    return FileExists(kDifxRoot + L"\\store\\" + inf.substr(inf.rfind(L'\\') + 1));
  }
  void Script(const std::string& lines) { WriteBytes(kDifxRoot + L"\\script.txt", lines); }
  std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    std::istringstream text(ReadBytes(kDifxRoot + L"\\journal.txt"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  std::string Log() {
    EXPECT_EQ(ListFiles(dir / L"log").size(), 1u) << "log files";
    return LogRecordsIn(dir.path());
  }

  SamplePackage usbPackage{kUsbInf, SampleInf({"Apple Mobile Device USB Driver = Install, USB\\VID_05AC&PID_1290"})};
  SamplePackage netPackage{kNetInf, SampleInf({}, "Apple")};
  const std::string usb = PackageOf(kUsbInf);
  const std::string net = PackageOf(kNetInf);
};

std::string Preinstall(const std::wstring& inf) { return "DriverPackagePreinstallW " + Narrow(inf) + " 0"; }
std::string GetPath(const std::wstring& inf) { return "DriverPackageGetPathW " + Narrow(inf) + " 260"; }
std::string Uninstall(const std::wstring& inf) { return "DriverPackageUninstallW " + StoreCopyOf(inf) + " 36 null 0"; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// What the device update after the install prints and logs for the sample INF and no
// matching device.
const std::string kUpdated = Crlf("\n UpdateDevice Opt: \n Driver Update Successed!\n");
const std::string kUpdatedLog = Records({"\n UpdateDevice Opt: \n", " Driver Update Successed!\n"});

}  // namespace

TEST_F(DifxRun, UninstallRemovesBothPackagesFromTheStore) {
  PutInStore(kNetInf);
  PutInStore(kUsbInf);
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 1u);
  const std::string lines = "netappl already exist: 183 \n"
                            "inf net path: " +
                            StoreCopyOf(kNetInf) +
                            "\n"
                            "DriverPackageUninstall netaapl successed ! \n"
                            "usbappl already exist: 183 \n"
                            "inf usb path: " +
                            StoreCopyOf(kUsbInf) +
                            "\n"
                            "DriverPackageUninstall usbaapl successed !\n";
  EXPECT_EQ(run.out, PathLines() + Replace(lines, "\n", "\r\n"));
  EXPECT_EQ(Log(), Replace(lines, "\n", "\n\r\n"));
  const std::vector<std::string> expected = {Preinstall(kNetInf), GetPath(kNetInf), Uninstall(kNetInf),
                                             Preinstall(kUsbInf), GetPath(kUsbInf), Uninstall(kUsbInf)};
  EXPECT_EQ(Journal(), expected);
  EXPECT_FALSE(InStore(kNetInf));
  EXPECT_FALSE(InStore(kUsbInf));
}

TEST_F(DifxRun, UninstallEndsWithTheRestartLineWhenARemovalNeedsARestart) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const std::string netLines = "netappl already exist: 183 \ninf net path: " + StoreCopyOf(kNetInf) +
                               "\nDriverPackageUninstall netaapl successed ! \n";
  const std::string usbLines = "usbappl already exist: 183 \ninf usb path: " + StoreCopyOf(kUsbInf) + "\n";
  const std::string usbRemoved = usbLines + "DriverPackageUninstall usbaapl successed !\n";
  const std::string restart = " A restart is required to finish the driver update.\n";
  struct Case {
    std::string script;
    bool inStore;
    DWORD exitCode;
    std::string lines;
  };
  const Case cases[] = {
      {"uninstall " + net + " reboot\n", true, 1, netLines + usbRemoved + restart},
      {"uninstall " + usb + " reboot\n", true, 1, netLines + usbRemoved + restart},
      {"uninstall " + net + " reboot\nuninstall " + usb + " 1223 5\n", true, 1223,
       netLines + usbLines + "DriverPackageUninstall usbaapl err: 5 \n" + restart},
      // A removal that fails says nothing about a restart, whatever its flag.
      {"uninstall " + usb + " reboot\nuninstall " + usb + " 1223 5\n", true, 1223,
       netLines + usbLines + "DriverPackageUninstall usbaapl err: 5 \n"},
      // The removal of what a probe added counts too.
      {"uninstall " + usb + " reboot\n", false, 0, restart},
  };
  for (const Case& test : cases) {
    RemoveTree(kDifxRoot);
    MakeDirectories(kDifxRoot + L"\\store");
    RemoveTree(dir / L"log");
    if (test.inStore) {
      PutInStore(kNetInf);
      PutInStore(kUsbInf);
    }
    Script(test.script);
    const RunResult run = Tallow(L"/u");
    EXPECT_EQ(run.exitCode, test.exitCode) << test.script;
    EXPECT_EQ(run.out, PathLines() + Replace(test.lines, "\n", "\r\n"));
    const std::string log = Log();
    EXPECT_TRUE(log.ends_with(Replace(test.lines, "\n", "\n\r\n"))) << log;
    // Each removal starts with the flag cleared.
    EXPECT_EQ(Journal().back(), Uninstall(kUsbInf));
  }
}

TEST_F(DifxRun, UninstallTakesOutAgainWhatItsProbesAdded) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/U");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines());
  EXPECT_FALSE(InStore(kNetInf));
  EXPECT_FALSE(InStore(kUsbInf));
  const std::vector<std::string> expected = {Preinstall(kNetInf), GetPath(kNetInf), Uninstall(kNetInf),
                                             Preinstall(kUsbInf), GetPath(kUsbInf), Uninstall(kUsbInf)};
  EXPECT_EQ(Journal(), expected);
  EXPECT_EQ(Log(), "netaapl: removed the copy the probe added to the driver store: " + StoreCopyOf(kNetInf) +
                       "\n\r\nusbaapl: removed the copy the probe added to the driver store: " + StoreCopyOf(kUsbInf) +
                       "\n\r\n");
}

TEST_F(DifxRun, UninstallLogsWhyItCouldNotTakeOutWhatItsProbesAdded) {
  WriteBytes(dir / L"debuglog.cfg", "");
  struct Case {
    const wchar_t* library;
    std::string script;
    std::string why;  // logged for both packages
  };
  const std::string cannot = "the probe added the package to the driver store; it cannot be removed again \n";
  const Case cases[] = {
      {L"difx_no_getpath.dll", "", cannot},
      {L"difx_no_uninstall.dll", "", cannot},
      {L"difx_standin.dll", "getpath " + net + " 5 5\ngetpath " + usb + " 5 5\n",
       "the probe added the package to the driver store; its path was not found: 5 \n"},
      {L"difx_standin.dll", "uninstall " + net + " 6 6\nuninstall " + usb + " 6 6\n",
       "the probe added the package to the driver store; removing it failed: 6 \n"},
  };
  for (const Case& test : cases) {
    RemoveTree(kDifxRoot);
    MakeDirectories(kDifxRoot + L"\\store");
    RemoveTree(dir / L"log");
    UseLibrary(test.library);
    Script(test.script);
    const RunResult run = Tallow(L"/u");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, PathLines());
    EXPECT_EQ(LogRecordsIn(dir.path()), "netaapl: " + test.why + "\r\nusbaapl: " + test.why + "\r\n")
        << Narrow(test.library) << " " << test.script;
  }
}

TEST_F(DifxRun, UninstallReportsAMissingUsbInfAs4) {
  PutInStore(kNetInf);
  DeleteFileW(kUsbInf.c_str());
  const RunResult run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 4u);
  EXPECT_EQ(run.out, PathLines() + "netappl already exist: 183 \r\ninf net path: " + StoreCopyOf(kNetInf) +
                         "\r\nDriverPackageUninstall netaapl successed ! \r\nDriver's inf file not found ! (2)\r\n");
}

TEST_F(DifxRun, UninstallWithoutTheLibrary) {
  DeleteFileW((dir / kBuild.difxLibrary).c_str());
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines() + "LoadLirary err: 126");
  EXPECT_EQ(Log(), "LoadLirary err: 126\r\n");
}

TEST_F(DifxRun, UninstallWithLibrariesLackingAnEntry) {
  WriteBytes(dir / L"debuglog.cfg", "");
  UseLibrary(L"difx_no_preinstall.dll");
  RunResult run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines() + "GetProcAddress DriverPackagePreinstall err: 127");
  EXPECT_FALSE(FileExists(dir / L"log")) << "the missing entry is not logged";

  PutInStore(kNetInf);
  PutInStore(kUsbInf);
  UseLibrary(L"difx_no_getpath.dll");
  run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 183u);
  EXPECT_EQ(run.out, PathLines() + "netappl already exist: 183 \r\nusbappl already exist: 183 \r\n");

  UseLibrary(L"difx_no_uninstall.dll");
  run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines() + "netappl already exist: 183 \r\ninf net path: " + StoreCopyOf(kNetInf) +
                         "\r\nusbappl already exist: 183 \r\ninf usb path: " + StoreCopyOf(kUsbInf) + "\r\n");
  EXPECT_TRUE(InStore(kNetInf));
  EXPECT_TRUE(InStore(kUsbInf));
}

TEST_F(DifxRun, UninstallFailuresShowTheLastErrorAndDecideTheResult) {
  PutInStore(kNetInf);
  PutInStore(kUsbInf);
  Script("uninstall " + net + " 0xE0000302 5\n" + "getpath " + usb + " 0xE0000219 0xE0000219\n");
  RunResult run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 0xE0000219u);
  EXPECT_EQ(run.out, PathLines() + "netappl already exist: 183 \r\ninf net path: " + StoreCopyOf(kNetInf) +
                         "\r\nDriverPackageUninstall netaapl err: 5 \r\nusbappl already exist: 183 \r\n"
                         "DriverPackageGetPath usbaapl err: -536870375 \r\n");

  Script("getpath " + net + " 3 1168\nuninstall " + usb + " 1223 0x80070005\n");
  run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 1223u);
  EXPECT_EQ(run.out, PathLines() +
                         "netappl already exist: 183 \r\nDriverPackageGetPath netaapl err: 1168 \r\n"
                         "usbappl already exist: 183 \r\ninf usb path: " +
                         StoreCopyOf(kUsbInf) + "\r\nDriverPackageUninstall usbaapl err: -2147024891 \r\n");

  Script("preinstall " + net + " 5 5\npreinstall " + usb + " 0xE000022F 0\n");
  run = Tallow(L"/u");
  EXPECT_EQ(run.exitCode, 0xE000022Fu);
  EXPECT_EQ(run.out, PathLines());
}

TEST_F(DifxRun, InstallAddsBothPackages) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/I");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl successed !\r\n"
                         "DriverPackagePreinstall usbaapl successed !\r\n" +
                         kUpdated);
  EXPECT_EQ(Log(), "DriverPackagePreinstall netaapl successed !\n\r\n"
                   "DriverPackagePreinstall usbaapl successed !\n\r\n" +
                       kUpdatedLog);
  EXPECT_TRUE(InStore(kNetInf));
  EXPECT_TRUE(InStore(kUsbInf));
  const std::vector<std::string> expected = {Preinstall(kNetInf), Preinstall(kUsbInf)};
  EXPECT_EQ(Journal(), expected);
}

TEST_F(DifxRun, InstallWithBothPackagesInTheStoreGives2) {
  PutInStore(kNetInf);
  PutInStore(kUsbInf);
  const RunResult run = Tallow(L"/i");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl alread exist \r\n"
                         "DriverPackagePreinstall usbaapl alread exist \r\n" +
                         kUpdated);
}

TEST_F(DifxRun, InstallOfAMissingUsbInfGives4) {
  DeleteFileW(kUsbInf.c_str());
  const RunResult run = Tallow(L"/i");
  EXPECT_EQ(run.exitCode, 4u);
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl successed !\r\n"
                         "DriverPackagePreinstall usbaapl err: 2\r\n" +
                         Crlf("\n UpdateDevice Opt: \n" + kOpenFailed1252 + Narrow(kUsbInf) +
                              " \n driver's inf file not found ! \n"));
}

TEST_F(DifxRun, InstallFailuresShowTheLastError) {
  WriteBytes(dir / L"debuglog.cfg", "");
  Script("preinstall " + net + " 0xE0000247 0xE0000247\n");
  RunResult run = Tallow(L"/i");
  EXPECT_EQ(run.exitCode, 1u) << "only the USB package decides";
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl err: -536870329\r\n"
                         "DriverPackagePreinstall usbaapl successed !\r\n" +
                         kUpdated);
  EXPECT_EQ(Log(), "DriverPackagePreinstall netaapl err: -536870329\n\r\n"
                   "DriverPackagePreinstall usbaapl successed !\n\r\n" +
                       kUpdatedLog);

  Script("preinstall " + usb + " 0xE000022F 1058\n");
  run = Tallow(L"/i");
  EXPECT_EQ(run.exitCode, 0xE000022Fu);
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl successed !\r\n"
                         "DriverPackagePreinstall usbaapl err: 1058\r\n" +
                         kUpdated);
}

TEST_F(DifxRun, InstallWithoutAUsableLibraryStillUpdatesAndGives0) {
  for (const wchar_t* variant : {L"", L"difx_no_preinstall.dll"}) {
    DeleteFileW((dir / kBuild.difxLibrary).c_str());
    if (*variant) UseLibrary(variant);
    const RunResult run = Tallow(L"/i");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, PathLines() + kUpdated);
  }
  EXPECT_FALSE(InStore(kUsbInf));
}

// The install calls the preinstall entry alone; a library that lacks another still works.
TEST_F(DifxRun, InstallNeedsOnlyThePreinstallEntry) {
  for (const wchar_t* variant : {L"difx_no_getpath.dll", L"difx_no_uninstall.dll"}) {
    RemoveTree(kDifxRoot);
    MakeDirectories(kDifxRoot + L"\\store");
    UseLibrary(variant);
    const RunResult run = Tallow(L"/i");
    EXPECT_EQ(run.exitCode, 1u) << Narrow(variant);
    EXPECT_EQ(run.out, PathLines() +
                           "DriverPackagePreinstall netaapl successed !\r\n"
                           "DriverPackagePreinstall usbaapl successed !\r\n" +
                           kUpdated);
    EXPECT_TRUE(InStore(kUsbInf));
  }
}

TEST_F(DifxRun, InstallTakesTheLibrarysOwnImportsFromTheSystemFolder) {
  // The stand-in imports wintrust.dll, as the real library does.
  Plant(L"wintrust.dll");
  const NativeFirst preferPlanted({L"wintrust"});
  const RunResult run = Tallow(L"/i");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, PathLines() +
                         "DriverPackagePreinstall netaapl successed !\r\n"
                         "DriverPackagePreinstall usbaapl successed !\r\n" +
                         kUpdated);
  EXPECT_FALSE(Loaded(L"wintrust.dll"));
}

// In-process: the library is gone by the time the devices are updated.
namespace {

bool g_libraryLoadedDuringUpdate = true;

ImportPatch* g_fullPathPatch = nullptr;

DWORD WINAPI NoteLibraryThenGetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
  g_libraryLoadedDuringUpdate = GetModuleHandleW(kBuild.difxLibrary) != nullptr;
  return g_fullPathPatch->Original<decltype(&GetFullPathNameW)>()(name, size, buffer, filePart);
}

}  // namespace

TEST(InstallDriverPackages, FreesTheLibraryBeforeTheDevicesAreUpdated) {
  RemoveTree(kDifxRoot);
  const std::wstring library = BesideTests(kBuild.difxLibrary);
  ASSERT_TRUE(CopyFileW(BesideTests(L"difx_standin.dll").c_str(), library.c_str(), FALSE));
  SamplePackage usbPackage{kUsbInf, SampleInf({})};
  SamplePackage netPackage{kNetInf, SampleInf({}, "Apple")};
  int result = 0;
  {
    ImportPatch patch("kernel32.dll", "GetFullPathNameW",
                      reinterpret_cast<const void*>(&NoteLibraryThenGetFullPathNameW));
    g_fullPathPatch = &patch;
    StdoutCapture quiet;
    CDriverInfPaths record;
    result = InstallDriverPackages(record);
  }
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(g_libraryLoadedDuringUpdate);
  EXPECT_EQ(GetModuleHandleW(kBuild.difxLibrary), nullptr);
  DeleteFileW(library.c_str());
  RemoveTree(kDifxRoot);
}

// In-process: an executable path that does not fit its buffer gives no library path.
namespace {

DWORD WINAPI CutGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  wmemset(buffer, L'x', size);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace

TEST(UninstallDriverPackages, ACutExecutablePathIsALibraryThatCannotBeLoaded) {
  std::string out;
  int result = -1;
  {
    ImportPatch patch("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<const void*>(&CutGetModuleFileNameW));
    StdoutCapture capture;
    CDriverInfPaths record;
    result = UninstallDriverPackages(record);
    out = capture.Finish();
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, PathLines() + "LoadLirary err: 122");
}

}  // namespace testing_support::tallow_test
