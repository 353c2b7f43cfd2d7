// "/re": staging the USB driver's INF, the forced updates per hardware ID, the reinstall
// flag on absent devices, the summaries and the status values.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "device_fixtures.h"
#include "device_test_support.h"
#include "import_patch.h"
#include "operations.h"
#include "system_fakes.h"

namespace testing_support::tallow_test {

namespace {

const std::string kHeader = "\n UpdateDevice Opt: \n";
const std::string kSucceeded = " Driver Update Successed!\n";

const std::vector<std::string> kModelLines = {
    "%Device% = Install, USB\\VID_05AC&PID_1290",
    "%Legacy% = Install",
    "%Odd% = Install, , USB\\VID_05AC&PID_1291",
    "%Other% = Install, usb\\Vid_05AC&Pid_12A8, USB\\Class_FF",
};

}  // namespace

TEST_F(TallowRun, UpdateStagesTheInfAndSucceedsInAnySwitchCase) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  // Connected devices (all are, under Wine) keep their flags.
  FakeUsbDevice matching(L"VID_05AC&PID_1290", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290&REV_0001"}, 0x4));

  for (const wchar_t* sw : {L"/re", L"/Re", L"/rE"}) {
    inf.Unstage();
    const RunResult run = Tallow(sw);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kSucceeded));
    EXPECT_TRUE(inf.IsStaged()) << Narrow(sw);
  }
  EXPECT_EQ(matching.ConfigFlags(), 0x4u);
  EXPECT_EQ(LogRecordsIn(dir.path()), Records({kHeader, kSucceeded, kHeader, kSucceeded, kHeader, kSucceeded}));
}

TEST_F(TallowRun, UpdateReportsAnInfThatDoesNotOpen) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/re");
  EXPECT_EQ(run.exitCode, 4u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kOpenFailed1252 + Narrow(kUsbInf) + " \n" +
                                        " driver's inf file not found ! \n"));
  EXPECT_EQ(ListFiles(dir / L"log").size(), 1u);
  EXPECT_EQ(LogRecordsIn(dir.path()),
            Records({kHeader, kOpenFailedGbk + Narrow(kUsbInf) + " \n", " driver's inf file not found ! \n"}));
}

TEST_F(TallowRun, UpdateReportsAMissingModelSection) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines, "Elsewhere"));
  const RunResult run = Tallow(L"/re");
  EXPECT_EQ(run.exitCode, 5u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kNoDescriptorGbk + "driver's descriptor not found !\n"));
  EXPECT_FALSE(inf.IsStaged());
  EXPECT_EQ(ListFiles(dir / L"log").size(), 1u);
  EXPECT_EQ(LogRecordsIn(dir.path()), Records({kHeader, kNoDescriptorGbk, "driver's descriptor not found !\n"}));
}

// Wine refuses to stage an INF whose catalog file is missing (error 2), unless an identical
// file is in the Windows INF folder already, as the i386 entry's own copy always is.
#if defined(_WIN64)
TEST_F(TallowRun, UpdateFailsWhenStagingFailsAndNothingIsMarked) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines, kSection, "CatalogFile=missing.cat\r\n"));
  const RunResult run = Tallow(L"/re");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + "\t SetupCopyOEMInf error (2)\n Driver Update failed !\n"));
  EXPECT_FALSE(inf.IsStaged());
  EXPECT_EQ(ListFiles(dir / L"log").size(), 1u);
  EXPECT_EQ(LogRecordsIn(dir.path()), Records({kHeader, "\t SetupCopyOEMInf error (2)\n", "Driver Update failed !\n"}));
}
#endif

// In-process: cases that Wine cannot produce, with single imports replaced.
namespace {

struct UpdateCall {
  std::wstring hardwareId;
  std::wstring infPath;
  DWORD flags;
  bool rebootCleared;
};
std::vector<UpdateCall> g_updates;
// What the update calls answer, in call order; a call past the script succeeds.
struct UpdateAnswer {
  BOOL result;
  BOOL reboot;
  DWORD error;
};
std::vector<UpdateAnswer> g_updateAnswers;
std::vector<std::pair<std::wstring, DWORD>> g_classDevs;
int g_classDevsFailFrom = -1;  // the call (counted from 0) from which SetupDiGetClassDevsW fails
const ImportPatch* g_classDevsPatch = nullptr;

BOOL WINAPI RecordUpdate(HWND window, LPCWSTR hardwareId, LPCWSTR infPath, DWORD flags, PBOOL reboot) {
  EXPECT_EQ(window, nullptr);
  g_updates.push_back({hardwareId, infPath, flags, reboot != nullptr && *reboot == FALSE});
  if (g_updates.size() > g_updateAnswers.size()) return TRUE;
  const UpdateAnswer& answer = g_updateAnswers[g_updates.size() - 1];
  *reboot = answer.reboot;
  SetLastError(answer.error);
  return answer.result;
}

HDEVINFO WINAPI CountClassDevs(const GUID* guid, PCWSTR enumerator, HWND window, DWORD flags) {
  EXPECT_EQ(guid, nullptr);
  EXPECT_EQ(window, nullptr);
  g_classDevs.emplace_back(enumerator ? enumerator : L"(null)", flags);
  if (g_classDevsFailFrom >= 0 && static_cast<int>(g_classDevs.size()) > g_classDevsFailFrom) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_CLASS));  // 0xE0000206
    return INVALID_HANDLE_VALUE;
  }
  return g_classDevsPatch->Original<decltype(&SetupDiGetClassDevsW)>()(guid, enumerator, window, flags);
}

CONFIGRET WINAPI AbsentDevice(PULONG status, PULONG problem, DEVINST, ULONG flags) {
  EXPECT_EQ(flags, 0u);
  *status = 0;
  *problem = 0;
  return CR_NO_SUCH_DEVINST;
}

BOOL WINAPI StagingFails(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD, PWSTR*) {
  SetLastError(static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF));  // 0xE000022F
  return FALSE;
}

// Hardware-ID data as a device could hold them; the other properties are the system's.
std::wstring g_hardwareIds;
const ImportPatch* g_propertyPatch = nullptr;

BOOL WINAPI ScriptedHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                                DWORD size, PDWORD required) {
  if (property != SPDRP_HARDWAREID) {
    return g_propertyPatch->Original<decltype(&SetupDiGetDeviceRegistryPropertyW)>()(set, device, property, type,
                                                                                     buffer, size, required);
  }
  const DWORD bytes = static_cast<DWORD>(g_hardwareIds.size() * sizeof(wchar_t));
  EXPECT_EQ(size, bytes);
  memcpy(buffer, g_hardwareIds.data(), std::min(size, bytes));
  return TRUE;
}

DWORD WINAPI NoFullPath(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return 0;
}

}  // namespace

class UpdateDeviceCall : public DeviceCall {
 protected:
  void SetUp() override {
    g_updates.clear();
    g_updateAnswers.clear();
    g_classDevs.clear();
    g_classDevsFailFrom = -1;
    g_classDevsPatch = &classDevs;
  }
  Outcome Update() { return Call(UpdateDevice); }

  ImportPatch updates{"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", reinterpret_cast<const void*>(&RecordUpdate)};
  ImportPatch classDevs{"setupapi.dll", "SetupDiGetClassDevsW", reinterpret_cast<const void*>(&CountClassDevs)};
};

TEST_F(UpdateDeviceCall, ForcesOneUpdateAndOneEnumerationPerHardwareIdOfTheSection) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  const Outcome outcome = Update();
  EXPECT_EQ(outcome.result, 1);
  // The lines without field 2 and with an empty one are skipped; the IDs are lower-cased.
  ASSERT_EQ(g_updates.size(), 2u);
  EXPECT_EQ(g_updates[0].hardwareId, L"usb\\vid_05ac&pid_1290");
  EXPECT_EQ(g_updates[1].hardwareId, L"usb\\vid_05ac&pid_12a8");
  for (const UpdateCall& call : g_updates) {
    EXPECT_EQ(call.infPath, kUsbInf);
    EXPECT_EQ(call.flags, static_cast<DWORD>(INSTALLFLAG_FORCE));
    EXPECT_TRUE(call.rebootCleared);
  }
  const std::vector<std::pair<std::wstring, DWORD>> everyUsbDevice(2, {L"USB", DIGCF_ALLCLASSES});
  EXPECT_EQ(g_classDevs, everyUsbDevice);
  EXPECT_EQ(outcome.out, Crlf(kHeader + kSucceeded));
  EXPECT_EQ(outcome.log, Records({kHeader, kSucceeded}));
}

TEST_F(UpdateDeviceCall, AFailedUpdateAndANeededRestartShowAfterTheSummary) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));  // two hardware IDs: two updates
  const std::string restart = " A restart is required to finish the driver update.\n";
  const std::string blocked = " Driver Update failed (-536870328) !\n";
  const DWORD noDevice = static_cast<DWORD>(ERROR_NO_SUCH_DEVINST);
  const DWORD blockedByPolicy = 0xE0000248;  // ERROR_DEVICE_INSTALL_BLOCKED
  struct Case {
    std::vector<UpdateAnswer> answers;
    std::vector<std::string> lines;  // after the header
  };
  const Case cases[] = {
      {{{TRUE, FALSE, 0}, {TRUE, FALSE, 0}}, {kSucceeded}},
      {{{TRUE, FALSE, 0}, {TRUE, TRUE, 0}}, {kSucceeded, restart}},
      // No connected device carries the ID; the restart flag of a failed call means nothing.
      {{{FALSE, TRUE, noDevice}, {FALSE, FALSE, noDevice}}, {kSucceeded}},
      {{{FALSE, FALSE, noDevice}, {FALSE, FALSE, blockedByPolicy}}, {blocked}},
      {{{FALSE, FALSE, blockedByPolicy}, {TRUE, TRUE, 0}}, {blocked, restart}},
      {{{FALSE, FALSE, ERROR_ACCESS_DENIED}, {FALSE, FALSE, blockedByPolicy}}, {" Driver Update failed (5) !\n"}},
  };
  for (const Case& test : cases) {
    g_updates.clear();
    g_updateAnswers = test.answers;
    const Outcome outcome = Update();
    EXPECT_EQ(outcome.result, 1) << test.lines.front();
    std::string out = kHeader;
    std::string log = Records({kHeader});
    for (const std::string& line : test.lines) {
      out += line;
      log += Records({line});
    }
    EXPECT_EQ(outcome.out, Crlf(out));
    EXPECT_EQ(outcome.log, log);
  }
}

TEST_F(UpdateDeviceCall, ASectionWithoutHardwareIdsUpdatesAndEnumeratesNothing) {
  SamplePackage inf(kUsbInf, SampleInf({"%Legacy% = Install", "%Odd% = Install, "}));
  EXPECT_EQ(Update().result, 1);
  EXPECT_TRUE(g_updates.empty());
  EXPECT_TRUE(g_classDevs.empty());
}

TEST_F(UpdateDeviceCall, MarksAbsentDevicesThatCarryAnIdOfTheSection) {
  ImportPatch absent("setupapi.dll", "CM_Get_DevNode_Status", reinterpret_cast<const void*>(&AbsentDevice));
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  // A longer, mixed-case ID that contains the INF's matches.
  FakeUsbDevice revision(L"VID_05AC&PID_1290", L"A1", BoundAppleDevice({L"USB\\Vid_05AC&Pid_1290&Rev_0100"}, 0x4));
  FakeUsbDevice second(L"VID_05AC&PID_12A8", L"A2",
                       BoundAppleDevice({L"USB\\VID_1234&PID_0001", L"USB\\VID_05AC&PID_12A8&MI_01"}, 0x20));
  FakeUsbDevice noFlags(L"VID_05AC&PID_12A8", L"A3", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}));
  // Only the lines' own IDs count: the empty field 2 matches nothing, and the ID that
  // follows it on its line is not the line's hardware ID.
  FakeUsbDevice other(L"VID_05AC&PID_1291", L"B1",
                      BoundAppleDevice({L"USB\\VID_05AC&PID_1291", L"USB\\Class_FF"}, 0x4));
  FakeUsbDevice::Properties bare;
  bare.hardwareIds = {L"USB\\VID_05AC&PID_1290"};
  FakeUsbDevice withoutFlags(L"VID_05AC&PID_1290", L"C1", bare);

  const Outcome outcome = Update();
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.out, Crlf(kHeader + kSucceeded));
  EXPECT_EQ(revision.ConfigFlags(), 0x24u);
  EXPECT_EQ(second.ConfigFlags(), 0x20u);
  EXPECT_EQ(noFlags.ConfigFlags(), 0x20u);  // read as 0 by the system, then written
  EXPECT_EQ(other.ConfigFlags(), 0x4u);
  EXPECT_EQ(withoutFlags.ConfigFlags(), std::nullopt);
}

TEST_F(UpdateDeviceCall, AMarkedAbsentDeviceTurnsFailedStagingIntoSuccess) {
  ImportPatch staging("setupapi.dll", "SetupCopyOEMInfW", reinterpret_cast<const void*>(&StagingFails));
  ImportPatch absent("setupapi.dll", "CM_Get_DevNode_Status", reinterpret_cast<const void*>(&AbsentDevice));
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  const std::string error = "\t SetupCopyOEMInf error (-536870353)\n";

  {
    // Nothing matches: the failure stands, with the log's summary lacking the blank.
    FakeUsbDevice other(L"VID_1234&PID_0001", L"X1", BoundAppleDevice({L"USB\\VID_1234&PID_0001"}, 0x4));
    const Outcome outcome = Update();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, Crlf(kHeader + error + " Driver Update failed !\n"));
    EXPECT_EQ(outcome.log, Records({kHeader, error, "Driver Update failed !\n"}));
    EXPECT_EQ(other.ConfigFlags(), 0x4u);
  }
  {
    // A device that already had the flag is written again and counts as marked.
    FakeUsbDevice marked(L"VID_05AC&PID_12A8", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}, 0x20));
    const Outcome outcome = Update();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out, Crlf(kHeader + error + kSucceeded));
    EXPECT_EQ(outcome.log, Records({kHeader, error, kSucceeded}));
    EXPECT_EQ(g_updates.size(), 4u);  // the lines are processed after the failure too
  }
}

TEST_F(UpdateDeviceCall, ConnectedDevicesKeepTheirFlags) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice connected(L"VID_05AC&PID_1290", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"}, 0x4));
  EXPECT_EQ(Update().result, 1);
  EXPECT_EQ(connected.ConfigFlags(), 0x4u);
}

TEST_F(UpdateDeviceCall, AFailedEnumerationEndsTheLinesSilently) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  g_classDevsFailFrom = 0;
  const Outcome outcome = Update();
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(g_updates.size(), 1u);
  EXPECT_EQ(outcome.out, Crlf(kHeader + kSucceeded));
  EXPECT_EQ(outcome.log, Records({kHeader, kSucceeded}));
}

TEST_F(UpdateDeviceCall, AFailedDestructionIsReportedAndEndsTheLines) {
  const FailingSetDestruction destroy;
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  const Outcome outcome = Update();
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(g_updates.size(), 1u);
  EXPECT_EQ(g_classDevs.size(), 1u);
  const std::string failure = "\t SetupDiDestroyDeviceInfoList failed (-536870389)";
  EXPECT_EQ(outcome.out, Crlf(kHeader + failure + kSucceeded));
  EXPECT_EQ(outcome.log, Records({kHeader, failure, kSucceeded}));
}

TEST_F(UpdateDeviceCall, APathThatCannotBeMadeFullIsNotFound) {
  ImportPatch fullPath("kernel32.dll", "GetFullPathNameW", reinterpret_cast<const void*>(&NoFullPath));
  const Outcome outcome = Update();
  EXPECT_EQ(outcome.result, 4);
  // ".inf文件 %s 未找到\n" (the .inf file %s was not found)
  EXPECT_EQ(outcome.out, Crlf(kHeader + ".inf?? " + Narrow(kUsbInf) + " ???\n driver's inf file not found ! \n"));
  EXPECT_EQ(outcome.log, Records({kHeader, ".inf\xCE\xC4\xBC\xFE " + Narrow(kUsbInf) + " \xCE\xB4\xD5\xD2\xB5\xBD\n",
                                  " driver's inf file not found ! \n"}));
  EXPECT_TRUE(g_updates.empty());
}

TEST_F(UpdateDeviceCall, HardwareIdsThatFillTheBufferWithoutTerminatorsStillMatch) {
  ImportPatch absent("setupapi.dll", "CM_Get_DevNode_Status", reinterpret_cast<const void*>(&AbsentDevice));
  ImportPatch ids("setupapi.dll", "SetupDiGetDeviceRegistryPropertyW",
                  reinterpret_cast<const void*>(&ScriptedHardwareIds));
  g_propertyPatch = &ids;
  SamplePackage inf(kUsbInf, SampleInf({"%Device% = Install, USB\\VID_05AC&PID_1290"}));
  const std::wstring id = L"USB\\VID_05AC&PID_1290";
  const std::vector<std::wstring> lists = {
      std::wstring(260 - id.size(), L'X') + id,          // no terminator at all
      std::wstring(259 - id.size(), L'Y') + id + L'\0',  // no empty string after the only one
      std::wstring(L"USB\\VID_1234") + L'\0' + std::wstring(260 - 13 - id.size(), L'Z') + id,
  };
  for (const std::wstring& list : lists) {
    ASSERT_EQ(list.size(), 260u);
    g_hardwareIds = list;
    FakeUsbDevice device(L"VID_05AC&PID_1290", L"F1", BoundAppleDevice({L"USB\\VID_0000"}, 0x4));
    EXPECT_EQ(Update().result, 1);
    EXPECT_EQ(device.ConfigFlags(), 0x24u) << Narrow(list.substr(0, 20));
  }
}

TEST_F(UpdateDeviceCall, ADeviceWhoseHardwareIdsCannotBeReadIsPassedOver) {
  ImportPatch absent("setupapi.dll", "CM_Get_DevNode_Status", reinterpret_cast<const void*>(&AbsentDevice));
  const UnreadableHardwareIds unreadable;
  SamplePackage inf(kUsbInf, SampleInf({"%Device% = Install, USB\\VID_05AC&PID_1290"}));
  FakeUsbDevice device(L"VID_05AC&PID_1290", L"H1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"}, 0x4));
  EXPECT_EQ(Update().result, 1);
  EXPECT_EQ(device.ConfigFlags(), 0x4u);
}

}  // namespace testing_support::tallow_test
