// "/qu": the match on the most general hardware ID, the six properties, the judgement of
// each device, the verdict and the results.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include "device_fixtures.h"
#include "device_test_support.h"
#include "import_patch.h"
#include "operations.h"
#include "system_fakes.h"

namespace testing_support::tallow_test {

namespace {

const std::string kHeader = "\n Query Device Opt: \n";
const std::string kInfoConsole = "\n Current Device's Info: \n";
const std::string kInfoLog = " Current Device's Info: \n";
const std::string kNormal = " Current Device Status : Normalization !\n";
const std::string kMismatchedConsole = " Current Device's driver is mismatched ! \n";
const std::string kMismatchedLog = " Current Device's driver is mismatched !\n";
const std::string kGuid = "{36FC9E60-C465-11CF-8056-444553540000}";
const std::string kDriver = kGuid + "\\0001";

const std::vector<std::string> kModelLines = {
    "%Device% = Install, USB\\VID_05AC&PID_1290",
    "%Legacy% = Install",
    "%Odd% = Install, ",
    "%Other% = Install, USB\\VID_05AC&PID_12A8",
};

struct Shown {
  std::string className = "USB";
  std::string classGuid = kGuid;
  std::string driver = kDriver;
  std::string deviceDesc = "Apple Mobile Device USB Driver";
  std::string friendlyName = "Apple Mobile Device USB Driver";
  std::string mfg = "Apple, Inc.";
};

// The console lines of one examined device; an empty value is a property that was not read.
std::string DeviceConsole(int index, const std::string& infId, const Shown& shown = {}) {
  const std::string i = std::to_string(index);
  std::string out = i + " appdrv HarewareID \t = " + infId + "\n";
  auto line = [&](const char* label, const std::string& value) {
    if (!value.empty()) out += i + label + value + "\n";
  };
  line(" appdev Class \t\t = ", shown.className);
  line(" appdev ClassGuid \t = ", shown.classGuid);
  line(" appdev Driver \t = ", shown.driver);
  line(" appdev DeviceDesc \t = ", shown.deviceDesc);
  line(" appdev FriendlyName \t = ", shown.friendlyName);
  line(" appdev Mfg \t\t = ", shown.mfg);
  return out;
}

// Its log records: all six, read or not.
std::vector<std::string> DeviceLog(int index, const std::string& infId, const Shown& shown = {}) {
  const std::string i = std::to_string(index);
  return {i + " appdev HarewareID \t = " + infId + "\n",
          i + " appdev Class \t\t = " + shown.className + "\n",
          i + " appdev ClassGuid \t = " + shown.classGuid + "\n",
          i + " appdev Driver \t = " + shown.driver + "\n",
          i + " appdev DeviceDesc \t = " + shown.deviceDesc + "\n",
          i + " appdev FriendlyName \t = " + shown.friendlyName + "\n",
          i + " appdev Mfg \t\t = " + shown.mfg + "\n"};
}

std::string RecordsOf(const std::vector<std::string>& texts) {
  std::string log;
  for (const std::string& text : texts) log += text + "\r\n";
  return log;
}

std::string OnlyLog(const ScratchDir& dir) {
  EXPECT_EQ(ListFiles(dir / L"log").size(), 1u);
  return LogRecordsIn(dir.path());
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(TallowRun, QueryListsTheDevicesWhoseLastIdIsOfTheInfAndFindsThemNormal) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  // Named so that Wine enumerates them in this order: 0, 1, 2, 3.
  FakeUsbDevice first(L"VID_05AC&PID_1290", L"A1",
                      BoundAppleDevice({L"USB\\VID_05AC&PID_1290&REV_0001", L"usb\\Vid_05ac&Pid_1290"}, 0x4));
  // Its first ID contains the INF's, its last is another: not examined.
  FakeUsbDevice composite(L"VID_05AC&PID_1290", L"A2",
                          BoundAppleDevice({L"USB\\VID_05AC&PID_1290&REV_0001", L"USB\\VID_05AC&PID_1290&MI_00"}));
  FakeUsbDevice::Properties foreign;
  foreign.hardwareIds = {L"USB\\VID_1234&PID_0001"};
  FakeUsbDevice other(L"VID_05AC&PID_1291", L"B1", foreign);
  FakeUsbDevice second(L"VID_05AC&PID_12A8", L"C1", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}));

  for (const wchar_t* sw : {L"/qu", L"/qU", L"/QU"}) {
    RemoveTree(dir / L"log");
    const RunResult run = Tallow(sw);
    EXPECT_EQ(run.exitCode, 1u);
    // The index counts every connected USB device of the line's enumeration.
    EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kInfoConsole + DeviceConsole(0, "usb\\vid_05ac&pid_1290") +
                                          DeviceConsole(3, "usb\\vid_05ac&pid_12a8") + kNormal));
    EXPECT_EQ(OnlyLog(dir),
              RecordsOf(std::vector<std::string>{kHeader, kInfoLog} + DeviceLog(0, "usb\\vid_05ac&pid_1290") +
                        DeviceLog(3, "usb\\vid_05ac&pid_12a8") + std::vector<std::string>{kNormal}));
  }
  // Nothing is staged or changed.
  EXPECT_FALSE(inf.IsStaged());
  EXPECT_EQ(first.ConfigFlags(), 0x4u);
}

TEST_F(TallowRun, QueryWithoutMatchingDevicesIsNormal) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice::Properties foreign;
  foreign.hardwareIds = {L"USB\\VID_1234&PID_0001"};
  FakeUsbDevice other(L"VID_1234&PID_0001", L"B1", foreign);
  // A device without hardware IDs is not matched by the line whose field 2 is empty.
  FakeUsbDevice::Properties nameless = BoundAppleDevice({});
  nameless.className = L"Image";
  FakeUsbDevice unnamed(L"VID_1234&PID_0002", L"B2", nameless);
  const RunResult run = Tallow(L"/qu");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kInfoConsole + kNormal));
}

TEST_F(TallowRun, QueryCountsEveryWrongPropertyAsAMismatch) {
  SamplePackage inf(kUsbInf, SampleInf({"%Device% = Install, USB\\VID_05AC&PID_1290"}));
  struct Case {
    const char* what;
    void (*spoil)(FakeUsbDevice::Properties&);
  };
  const Case cases[] = {
      {"class", [](FakeUsbDevice::Properties& p) { p.className = L"Image"; }},
      {"description", [](FakeUsbDevice::Properties& p) { p.deviceDesc = L"Apple Mobile Device USB Drivers"; }},
      {"friendly name", [](FakeUsbDevice::Properties& p) { p.friendlyName = L"Generic USB Device"; }},
      {"maker", [](FakeUsbDevice::Properties& p) { p.mfg = L"Apple Inc."; }},
  };
  for (const Case& c : cases) {
    FakeUsbDevice::Properties properties = BoundAppleDevice({L"USB\\VID_05AC&PID_1290"});
    c.spoil(properties);
    FakeUsbDevice device(L"VID_05AC&PID_1290", L"A1", properties);
    EXPECT_EQ(Tallow(L"/qu").exitCode, 3u) << c.what;
  }
  // Case does not matter in the judgement.
  FakeUsbDevice::Properties properties = BoundAppleDevice({L"USB\\VID_05AC&PID_1290"});
  properties.className = L"usb";
  properties.deviceDesc = L"APPLE MOBILE DEVICE USB DRIVER";
  properties.friendlyName = L"apple mobile device usb driver";
  properties.mfg = L"APPLE, INC.";
  FakeUsbDevice device(L"VID_05AC&PID_1290", L"A1", properties);
  EXPECT_EQ(Tallow(L"/qu").exitCode, 1u);
}

TEST_F(TallowRun, QueryJudgesAPropertyThatCannotBeReadAsEmpty) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice good(L"VID_05AC&PID_1290", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"}));
  // The next matching device lacks a friendly name and a driver: it must not inherit them.
  FakeUsbDevice::Properties unnamed = BoundAppleDevice({L"USB\\VID_05AC&PID_1290"});
  unnamed.friendlyName.reset();
  unnamed.driver.reset();
  FakeUsbDevice bad(L"VID_05AC&PID_1290", L"A2", unnamed);

  const RunResult run = Tallow(L"/qu");
  EXPECT_EQ(run.exitCode, 3u);
  Shown missing;
  missing.friendlyName = "";
  missing.driver = "";
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kInfoConsole + DeviceConsole(0, "usb\\vid_05ac&pid_1290") +
                                        DeviceConsole(1, "usb\\vid_05ac&pid_1290", missing) + kMismatchedConsole));
  EXPECT_EQ(OnlyLog(dir),
            RecordsOf(std::vector<std::string>{kHeader, kInfoLog} + DeviceLog(0, "usb\\vid_05ac&pid_1290") +
                      DeviceLog(1, "usb\\vid_05ac&pid_1290", missing) + std::vector<std::string>{kMismatchedLog}));
}

TEST_F(TallowRun, QueryReportsAnInfThatDoesNotOpenWithoutAVerdict) {
  WriteBytes(dir / L"debuglog.cfg", "");
  const RunResult run = Tallow(L"/qu");
  EXPECT_EQ(run.exitCode, 4u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kOpenFailed1252 + Narrow(kUsbInf) + " \n"));
  EXPECT_EQ(OnlyLog(dir), RecordsOf({kHeader, kOpenFailedGbk + Narrow(kUsbInf) + " \n"}));
}

TEST_F(TallowRun, QueryReportsAMissingModelSection) {
  WriteBytes(dir / L"debuglog.cfg", "");
  SamplePackage inf(kUsbInf, SampleInf(kModelLines, "Apple.NTx86"));
  const RunResult run = Tallow(L"/qu");
  EXPECT_EQ(run.exitCode, 5u);
  EXPECT_EQ(run.out, PathLines() + Crlf(kHeader + kNoDescriptorGbk));
  EXPECT_EQ(OnlyLog(dir), RecordsOf({kHeader, kNoDescriptorGbk}));
}

// In-process: failures that Wine cannot produce, with single imports replaced.
namespace {

int g_classDevsCalls = 0;
int g_classDevsFailFrom = -1;
const ImportPatch* g_classDevsPatch = nullptr;
std::vector<DWORD> g_classDevsFlags;

HDEVINFO WINAPI ClassDevsFailingLater(const GUID* guid, PCWSTR enumerator, HWND window, DWORD flags) {
  g_classDevsFlags.push_back(flags);
  EXPECT_STREQ(enumerator, L"USB");
  if (g_classDevsFailFrom >= 0 && g_classDevsCalls++ >= g_classDevsFailFrom) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_CLASS));  // 0xE0000206
    return INVALID_HANDLE_VALUE;
  }
  return g_classDevsPatch->Original<decltype(&SetupDiGetClassDevsW)>()(guid, enumerator, window, flags);
}

// What CM_Get_DevNode_Status answers: its result, the node status and the problem number.
struct NodeStatus {
  CONFIGRET answer;
  ULONG status;
  ULONG problem;
};
NodeStatus g_nodeStatus;

CONFIGRET WINAPI ScriptedNodeStatus(PULONG status, PULONG problem, DEVINST, ULONG flags) {
  EXPECT_EQ(flags, 0u);
  *status = g_nodeStatus.status;
  *problem = g_nodeStatus.problem;
  return g_nodeStatus.answer;
}

}  // namespace

class QueryDeviceCall : public DeviceCall {
 protected:
  void SetUp() override {
    g_classDevsCalls = 0;
    g_classDevsFailFrom = -1;
    g_classDevsFlags.clear();
    g_classDevsPatch = &classDevs;
  }
  Outcome Query() { return Call(QueryDevice); }

  ImportPatch classDevs{"setupapi.dll", "SetupDiGetClassDevsW", reinterpret_cast<const void*>(&ClassDevsFailingLater)};
};

TEST_F(QueryDeviceCall, AFailedEnumerationEndsTheLinesWithTheVerdictSoFar) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice::Properties wrong = BoundAppleDevice({L"USB\\VID_05AC&PID_1290"});
  wrong.className = L"Image";
  FakeUsbDevice device(L"VID_05AC&PID_1290", L"A1", wrong);
  FakeUsbDevice later(L"VID_05AC&PID_12A8", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}));
  g_classDevsFailFrom = 1;

  const Outcome outcome = Query();
  EXPECT_EQ(outcome.result, 3);
  Shown image;
  image.className = "Image";
  const std::string failure = "SetupDiGetClassDevs failed : (-536870394)\n";
  EXPECT_EQ(outcome.out, Crlf(kHeader + kInfoConsole + DeviceConsole(0, "usb\\vid_05ac&pid_1290", image) + failure +
                              kMismatchedConsole));
  EXPECT_EQ(outcome.log,
            RecordsOf(std::vector<std::string>{kHeader, kInfoLog} + DeviceLog(0, "usb\\vid_05ac&pid_1290", image) +
                      std::vector<std::string>{failure, kMismatchedLog}));
  // Only connected devices are asked for, once per line with an ID.
  EXPECT_EQ(g_classDevsFlags, std::vector<DWORD>(2, DIGCF_PRESENT | DIGCF_ALLCLASSES));
}

TEST_F(QueryDeviceCall, AFailedDestructionIsReportedAndTheNextLineFollows) {
  const FailingSetDestruction destroy;
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice later(L"VID_05AC&PID_12A8", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}));

  const Outcome outcome = Query();
  EXPECT_EQ(outcome.result, 1);
  const std::string failure = "\t SetupDiDestroyDeviceInfoList failed (-536870389)";
  EXPECT_EQ(outcome.out,
            Crlf(kHeader + kInfoConsole + failure + DeviceConsole(0, "usb\\vid_05ac&pid_12a8") + failure + kNormal));
  EXPECT_EQ(outcome.log,
            RecordsOf(std::vector<std::string>{kHeader, kInfoLog, failure} + DeviceLog(0, "usb\\vid_05ac&pid_12a8") +
                      std::vector<std::string>{failure, kNormal}));
}

TEST_F(QueryDeviceCall, ADeviceWhoseHardwareIdsCannotBeReadIsNotExamined) {
  const UnreadableHardwareIds unreadable;
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice device(L"VID_05AC&PID_12A8", L"H1", BoundAppleDevice({L"USB\\VID_05AC&PID_12A8"}));
  const Outcome outcome = Query();
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.out, Crlf(kHeader + kInfoConsole + kNormal));
}

TEST_F(QueryDeviceCall, ADeviceWhoseDriverDoesNotRunIsNotRight) {
  SamplePackage inf(kUsbInf, SampleInf(kModelLines));
  FakeUsbDevice device(L"VID_05AC&PID_1290", L"A1", BoundAppleDevice({L"USB\\VID_05AC&PID_1290"}));
  ImportPatch nodeStatus("setupapi.dll", "CM_Get_DevNode_Status", reinterpret_cast<const void*>(&ScriptedNodeStatus));
  struct Case {
    NodeStatus node;
    std::string problem;  // the added line; none for a device that runs
  };
  const Case cases[] = {
      {{CR_SUCCESS, DN_DRIVER_LOADED | DN_STARTED, 0}, ""},
      {{CR_NO_SUCH_DEVINST, DN_HAS_PROBLEM, 52}, ""},  // no status to judge
      {{CR_SUCCESS, DN_DRIVER_LOADED | DN_HAS_PROBLEM, CM_PROB_UNSIGNED_DRIVER}, "0 appdev Problem \t = 52\n"},
      {{CR_SUCCESS, DN_DRIVER_LOADED | DN_NEED_RESTART, 0}, "0 appdev Problem \t = 0, restart needed\n"},
      {{CR_SUCCESS, DN_HAS_PROBLEM, CM_PROB_DISABLED}, "0 appdev Problem \t = 22\n"},
  };
  for (const Case& test : cases) {
    g_nodeStatus = test.node;
    const Outcome outcome = Query();
    const bool runs = test.problem.empty();
    EXPECT_EQ(outcome.result, runs ? 1 : 3) << test.problem;
    EXPECT_EQ(outcome.out, Crlf(kHeader + kInfoConsole + DeviceConsole(0, "usb\\vid_05ac&pid_1290") + test.problem +
                                (runs ? kNormal : kMismatchedConsole)));
    std::vector<std::string> log = std::vector<std::string>{kHeader, kInfoLog} + DeviceLog(0, "usb\\vid_05ac&pid_1290");
    if (!runs) log.push_back(test.problem);
    log.push_back(runs ? kNormal : kMismatchedLog);
    EXPECT_EQ(outcome.log, RecordsOf(log));
  }
}

}  // namespace testing_support::tallow_test
