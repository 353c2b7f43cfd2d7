// Start, Stop and the dependents in-process, where the service manager cannot be made to
// answer on demand: the status reads, start requests, stop controls and the dependents
// list come from a script per test, and the clock and Sleep are replaced so that no test
// waits for real time-outs. The manager and service handles are real.
#include <windows.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "app_paths.h"
#include "process_sweep.h"
#include "reg_key.h"
#include "service_control.h"
#include "test_support.h"

using bracken_test::CaptureOperation;
using bracken_test::DummyProcess;
using bracken_test::InstallTestService;
using bracken_test::Outcome;
using bracken_test::RemoveService;
using testing_support::BesideTests;
using testing_support::Narrow;
using testing_support::StdoutCapture;

namespace {

const std::wstring kService = L"BrackenScripted";
const std::wstring kDependentA = L"BrackenDependentA";
const std::wstring kDependentB = L"BrackenDependentB";

// One answer of a status read or a stop control: a status, or a failure with its code.
struct Answer {
  DWORD state = SERVICE_STOPPED;
  DWORD checkPoint = 0;
  DWORD waitHint = 0;
  DWORD exitCode = 0;
  DWORD processId = 0;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD error = 0;
};
Answer Fails(DWORD error) {
  Answer answer;
  answer.error = error;
  return answer;
}

struct Script {
  DWORD clock = 0;
  std::map<std::wstring, std::deque<Answer>> reads;
  std::map<std::wstring, std::deque<Answer>> controls;
  std::deque<DWORD> startErrors;  // 0 accepts the request
  DWORD enumError = 0;            // 0 with no names: no dependents
  DWORD enumAgainError = 0;       // the second call, with the block, fails with it
  std::vector<std::wstring> dependents;
  // What happened, in order.
  std::vector<std::string> calls;
  std::map<SC_HANDLE, std::wstring> names;
  std::set<SC_HANDLE> open;
  // The access masks asked for, by call.
  std::set<std::pair<std::string, DWORD>> masks;
};
Script* g_script = nullptr;

std::wstring NameOf(SC_HANDLE handle) {
  const auto found = g_script->names.find(handle);
  return found == g_script->names.end() ? L"?" : found->second;
}

DWORD WINAPI FakeGetTickCount() { return g_script->clock; }
void WINAPI FakeSleep(DWORD milliseconds) {
  g_script->clock += milliseconds;
  g_script->calls.push_back("Sleep " + std::to_string(milliseconds));
}

ImportPatch* g_openManager = nullptr;
ImportPatch* g_openService = nullptr;
ImportPatch* g_close = nullptr;

SC_HANDLE WINAPI TrackOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  const SC_HANDLE handle = g_openManager->Original<decltype(&OpenSCManagerW)>()(machine, database, access);
  g_script->masks.insert({"OpenSCManagerW", access});
  if (handle) {
    g_script->names[handle] = L"manager";
    g_script->open.insert(handle);
  }
  return handle;
}

SC_HANDLE WINAPI TrackOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  const SC_HANDLE handle = g_openService->Original<decltype(&OpenServiceW)>()(manager, name, access);
  g_script->calls.push_back("Open " + Narrow(name) + " " + std::to_string(access));
  g_script->masks.insert({"OpenServiceW", access});
  if (handle) {
    g_script->names[handle] = name;
    g_script->open.insert(handle);
  }
  return handle;
}

BOOL WINAPI TrackCloseServiceHandle(SC_HANDLE handle) {
  g_script->calls.push_back("Close " + Narrow(NameOf(handle)));
  g_script->open.erase(handle);
  return g_close->Original<decltype(&CloseServiceHandle)>()(handle);
}

bool Next(std::deque<Answer>& answers, Answer& answer, const char* what) {
  if (answers.empty()) {
    ADD_FAILURE() << "unscripted " << what;
    answer = Fails(ERROR_INVALID_FUNCTION);
    return false;
  }
  answer = answers.front();
  if (answers.size() > 1) answers.pop_front();  // the last answer repeats
  return true;
}

void Fill(const Answer& answer, SERVICE_STATUS& status) {
  status = {};
  status.dwServiceType = answer.type;
  status.dwCurrentState = answer.state;
  status.dwWin32ExitCode = answer.exitCode;
  status.dwCheckPoint = answer.checkPoint;
  status.dwWaitHint = answer.waitHint;
}

BOOL WINAPI FakeQueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                                     LPDWORD needed) {
  EXPECT_EQ(level, SC_STATUS_PROCESS_INFO);
  EXPECT_EQ(size, 36u);
  const std::wstring name = NameOf(service);
  g_script->calls.push_back("Query " + Narrow(name));
  Answer answer;
  Next(g_script->reads[name], answer, "status read");
  *needed = sizeof(SERVICE_STATUS_PROCESS);
  if (answer.error) {
    SetLastError(answer.error);
    return FALSE;
  }
  SERVICE_STATUS status;
  Fill(answer, status);
  auto* process = reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer);
  *process = {};
  std::memcpy(process, &status, sizeof status);
  process->dwProcessId = answer.processId;
  return TRUE;
}

BOOL WINAPI FakeControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
  const std::wstring name = NameOf(service);
  g_script->calls.push_back("Control " + Narrow(name));
  Answer answer;
  Next(g_script->controls[name], answer, "stop control");
  if (answer.error) {
    SetLastError(answer.error);
    return FALSE;
  }
  Fill(answer, *status);
  return TRUE;
}

BOOL WINAPI FakeStartServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments) {
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(arguments, nullptr);
  g_script->calls.push_back("Start " + Narrow(NameOf(service)));
  if (g_script->startErrors.empty()) {
    ADD_FAILURE() << "unscripted start request";
    return FALSE;
  }
  const DWORD error = g_script->startErrors.front();
  g_script->startErrors.pop_front();
  if (error) SetLastError(error);
  return error == 0;
}

BOOL WINAPI FakeEnumDependentServicesW(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW buffer, DWORD size,
                                       LPDWORD needed, LPDWORD count) {
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_ACTIVE));
  g_script->calls.push_back("Enum " + Narrow(NameOf(service)) + " " + std::to_string(size));
  if (g_script->enumError) {
    SetLastError(g_script->enumError);
    return FALSE;
  }
  const std::vector<std::wstring>& names = g_script->dependents;
  DWORD bytes = static_cast<DWORD>(names.size() * sizeof(ENUM_SERVICE_STATUSW));
  for (const std::wstring& name : names) bytes += static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
  *needed = bytes;
  *count = 0;
  if (names.empty()) return TRUE;
  if (size < bytes) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (g_script->enumAgainError) {
    SetLastError(g_script->enumAgainError);
    return FALSE;
  }
  auto* text = reinterpret_cast<wchar_t*>(buffer + names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    names[i].copy(text, names[i].size());
    text[names[i].size()] = L'\0';
    buffer[i].lpServiceName = text;
    buffer[i].lpDisplayName = text;
    buffer[i].ServiceStatus.dwCurrentState = SERVICE_RUNNING;
    text += names[i].size() + 1;
  }
  *count = static_cast<DWORD>(names.size());
  return TRUE;
}

ImportPatch* g_heapAlloc = nullptr;
SIZE_T g_refusedBlock = 0;
LPVOID WINAPI RefusingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (bytes == g_refusedBlock && flags == HEAP_ZERO_MEMORY) {
    g_script->calls.push_back("HeapAlloc refused");
    return nullptr;
  }
  return g_heapAlloc->Original<decltype(&HeapAlloc)>()(heap, flags, bytes);
}

struct Patches {
  Patches() {
    g_openManager = &openManager;
    g_openService = &openService;
    g_close = &close;
  }
  ImportPatch tick{"kernel32.dll", "GetTickCount", reinterpret_cast<const void*>(&FakeGetTickCount)};
  ImportPatch sleep{"kernel32.dll", "Sleep", reinterpret_cast<const void*>(&FakeSleep)};
  ImportPatch openManager{"advapi32.dll", "OpenSCManagerW", reinterpret_cast<const void*>(&TrackOpenSCManagerW)};
  ImportPatch openService{"advapi32.dll", "OpenServiceW", reinterpret_cast<const void*>(&TrackOpenServiceW)};
  ImportPatch close{"advapi32.dll", "CloseServiceHandle", reinterpret_cast<const void*>(&TrackCloseServiceHandle)};
  ImportPatch query{"advapi32.dll", "QueryServiceStatusEx", reinterpret_cast<const void*>(&FakeQueryServiceStatusEx)};
  ImportPatch control{"advapi32.dll", "ControlService", reinterpret_cast<const void*>(&FakeControlService)};
  ImportPatch start{"advapi32.dll", "StartServiceW", reinterpret_cast<const void*>(&FakeStartServiceW)};
  ImportPatch dependents{"advapi32.dll", "EnumDependentServicesW",
                         reinterpret_cast<const void*>(&FakeEnumDependentServicesW)};
};

Answer Status(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
  Answer answer;
  answer.state = state;
  answer.checkPoint = checkPoint;
  answer.waitHint = waitHint;
  return answer;
}

std::string Line(const std::string& text) { return "BrackenScripted \t " + text + "\r\n"; }
std::string Record(const std::string& text) { return "BrackenScripted \t " + text + "\n\r\n"; }

class ScriptedService : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::wstring& name : {kService, kDependentA, kDependentB}) {
      RemoveService(name);
      InstallTestService(name, BesideTests(L"test_service.exe"));
    }
    g_script = &script;
    patches = std::make_unique<Patches>();
  }
  void TearDown() override {
    patches.reset();
    g_script = nullptr;
    for (const std::wstring& name : {kService, kDependentA, kDependentB}) RemoveService(name);
  }

  Outcome RunOperation(const std::function<void(ServiceControl&)>& operation) {
    const Outcome outcome = CaptureOperation(operation);
    EXPECT_TRUE(script.open.empty()) << "a service handle was left open";
    return outcome;
  }
  Outcome Start() {
    return RunOperation([](ServiceControl& control) { control.Start(kService.c_str()); });
  }
  Outcome Stop() {
    return RunOperation([](ServiceControl& control) { control.Stop(kService.c_str()); });
  }
  size_t Count(const std::string& call) const {
    size_t count = 0;
    for (const std::string& made : script.calls) count += made == call;
    return count;
  }
  std::vector<std::string> Sleeps() const {
    std::vector<std::string> sleeps;
    for (const std::string& made : script.calls) {
      if (made.rfind("Sleep ", 0) == 0) sleeps.push_back(made);
    }
    return sleeps;
  }

  Script script;
  std::unique_ptr<Patches> patches;
};

const std::string kStartHeader = "\n BrackenScripted start opt : \n\r\n";
std::string SavedTicks(DWORD tick, DWORD checkPoint) {
  return "\n \t Save the tick count and initial checkpoint : \n\r\ndwStartTickCount = " + std::to_string(tick) +
         ", dwOldCheckPoint = " + std::to_string(checkPoint) + " \n\r\n";
}
const std::string kWaitForStop = "\n Wait for the service to stop before attempting to start it \n\r\n";
const std::string kStopPendingRecord = "\t ssStatus.dwCurrentState == SERVICE_STOP_PENDING \n\r\n";
const std::string kStartPendingRecord = "\t ssStatus.dwCurrentState == SERVICE_START_PENDING \n\r\n";

std::string NotStarted(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  return Line("Service not started. ") + "  Current State: " + std::to_string(state) + "\r\n  Exit Code: " +
         std::to_string(exitCode) + "\r\n  Check Point: " + std::to_string(checkPoint) + "\r\n  Wait Hint: " +
         std::to_string(waitHint) + "\r\n";
}
std::string NotStartedRecords(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  return Record("Service not started. ") + " \t\t  Current State: " + std::to_string(state) + "\n\r\n \t\t  Exit Code: " +
         std::to_string(exitCode) + "\n\r\n \t\t Check Point: " + std::to_string(checkPoint) + "\n\r\n \t\t Wait Hint: " +
         std::to_string(waitHint) + "\n\r\n";
}

}  // namespace

TEST_F(ScriptedService, StartRefusesAServiceThatIsNotStopped) {
  for (DWORD state : {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_PAUSED}) {
    script.reads[kService] = {Status(state)};
    const Outcome outcome = Start();
    EXPECT_EQ(outcome.out, Line("Cannot start the service because it is already running")) << state;
    EXPECT_EQ(outcome.log, kStartHeader + "\n \t chech if running : \n\r\n" +
                               Record("Cannot start the service because it is already running"));
  }
  EXPECT_EQ(Count("Start BrackenScripted"), 0u);
  EXPECT_EQ(Count("Open BrackenScripted 983551"), 3u);  // SERVICE_ALL_ACCESS
}

TEST_F(ScriptedService, StartOfAStoppedServiceRequestsAtOnceAndWaitsWhileStartPending) {
  script.clock = 5000;
  script.reads[kService] = {Status(SERVICE_STOPPED, 7), Status(SERVICE_START_PENDING, 1, 25000),
                            Status(SERVICE_START_PENDING, 2, 25000), Status(SERVICE_RUNNING)};
  script.startErrors = {0};
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + Line("Service started successfully."));
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(5000, 7) + kWaitForStop + Record("Service start pending...") +
                             SavedTicks(5000, 1) + kStartPendingRecord + kStartPendingRecord +
                             Record("Service started successfully."));
  EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep 2500", "Sleep 2500"}));
  EXPECT_EQ(script.calls.back(), "Close manager");
  EXPECT_EQ(script.calls[script.calls.size() - 2], "Close BrackenScripted");
}

TEST_F(ScriptedService, StartTimesOutOnAStopWhoseCheckpointStands) {
  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 3000)};
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, "Timeout waiting for service to stop\r\n");
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(0, 1) + kWaitForStop + kStopPendingRecord + kStopPendingRecord +
                             kStopPendingRecord + kStopPendingRecord + Record("Timeout waiting for service to stop"));
  // More than the wait hint: the fourth poll at 4000 ms.
  EXPECT_EQ(Sleeps().size(), 4u);
  EXPECT_EQ(Count("Start BrackenScripted"), 0u);
}

TEST_F(ScriptedService, StartTimesOutTheSameAcrossTheWrapOfTheTickCounter) {
  script.clock = 0xFFFFF800;
  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 3000)};
  EXPECT_EQ(Start().out, "Timeout waiting for service to stop\r\n");
  EXPECT_EQ(Sleeps().size(), 4u);
}

TEST_F(ScriptedService, StartWaitsAsLongAsTheStopMakesProgressThenStarts) {
  // Each poll finds a higher checkpoint, far beyond the wait hint in all; the stop then
  // finishes between two polls and reports no progress and no hint.
  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 1500), Status(SERVICE_STOP_PENDING, 2, 1500),
                            Status(SERVICE_STOP_PENDING, 3, 1500), Status(SERVICE_STOP_PENDING, 4, 1500),
                            Status(SERVICE_STOP_PENDING, 5, 1500), Status(SERVICE_STOPPED),
                            Status(SERVICE_RUNNING)};
  script.startErrors = {0};
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + Line("Service started successfully."));
  EXPECT_EQ(Sleeps().size(), 5u);
  EXPECT_EQ(Count("Start BrackenScripted"), 1u);
  EXPECT_NE(outcome.log.find(kStopPendingRecord + kStopPendingRecord + kStopPendingRecord + kStopPendingRecord +
                             kStopPendingRecord + Record("Service start pending...")),
            std::string::npos);
}

TEST_F(ScriptedService, StartRetriesOnceAfterARequestTimeOut) {
  script.reads[kService] = {Status(SERVICE_STOPPED), Status(SERVICE_START_PENDING, 1, 2000), Status(SERVICE_RUNNING)};
  script.startErrors = {ERROR_SERVICE_REQUEST_TIMEOUT, 0};
  Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("StartService failed (1053)") + Line("Service started successfully."));
  EXPECT_EQ(outcome.log.find("again"), std::string::npos);
  EXPECT_EQ(Count("Start BrackenScripted"), 2u);

  script.calls.clear();
  script.clock = 0;
  script.reads[kService] = {Status(SERVICE_STOPPED)};
  script.startErrors = {ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_SERVICE_REQUEST_TIMEOUT};
  outcome = Start();
  EXPECT_EQ(outcome.out, Line("StartService failed (1053)") + Line("StartService again failed (1053)") +
                             NotStarted(1, 0, 0, 0));
  EXPECT_NE(outcome.log.find(Record("StartService failed (1053)") + Record("StartService again failed (1053)") +
                             SavedTicks(0, 0) + NotStartedRecords(1, 0, 0, 0)),
            std::string::npos)
      << outcome.log;
  EXPECT_EQ(Count("Start BrackenScripted"), 2u);
}

TEST_F(ScriptedService, StartDoesNotRetryOtherRefusals) {
  Answer stopped = Status(SERVICE_STOPPED);
  stopped.exitCode = 1058;
  script.reads[kService] = {stopped};
  script.startErrors = {ERROR_SERVICE_DISABLED};
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("StartService failed (1058)") + NotStarted(1, 1058, 0, 0));
  EXPECT_EQ(Count("Start BrackenScripted"), 1u);
}

TEST_F(ScriptedService, StartJudgesAStartThatMakesNoProgress) {
  script.reads[kService] = {Status(SERVICE_STOPPED), Status(SERVICE_START_PENDING, 4, 2000)};
  script.startErrors = {0};
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + NotStarted(2, 0, 4, 2000));
  EXPECT_EQ(Sleeps().size(), 3u);
  EXPECT_NE(outcome.log.find(kStartPendingRecord + kStartPendingRecord + kStartPendingRecord +
                             NotStartedRecords(2, 0, 4, 2000)),
            std::string::npos);
}

TEST_F(ScriptedService, StartReportsAFailingStatusReadWhereverItHappens) {
  script.reads[kService] = {Fails(ERROR_ACCESS_DENIED)};
  Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStartHeader + "\n \t check if stopped : \n\r\n" + Record("QueryServiceStatusEx failed (5)"));

  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 3000), Fails(ERROR_INVALID_HANDLE)};
  outcome = Start();
  EXPECT_EQ(outcome.out, "QueryServiceStatusEx failed (6)\r\n");
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(0, 1) + kWaitForStop + kStopPendingRecord +
                             "\t Check the status until the service is no longer stop pending\n\r\n" +
                             Record("QueryServiceStatusEx failed (6)"));
  EXPECT_EQ(Count("Start BrackenScripted"), 0u);

  script.clock = 0;
  script.reads[kService] = {Status(SERVICE_STOPPED), Fails(ERROR_ACCESS_DENIED)};
  script.startErrors = {0};
  outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(0, 0) + kWaitForStop + Record("Service start pending...") +
                             "\n \t Check the status until the service is no longer start pending\n\r\n" +
                             Record("QueryServiceStatusEx failed (5)"));

  // Inside the start-pending wait the last good status is judged.
  script.reads[kService] = {Status(SERVICE_STOPPED), Status(SERVICE_START_PENDING, 3, 1000), Fails(ERROR_ACCESS_DENIED)};
  script.startErrors = {0};
  outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + "QueryServiceStatusEx failed (5)\r\n" +
                             NotStarted(2, 0, 3, 1000));
}

TEST_F(ScriptedService, StartOfAMissingServiceClosesTheManager) {
  patches.reset();
  RemoveService(kService);
  patches = std::make_unique<Patches>();
  const Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("OpenService failed (1060)"));
  EXPECT_EQ(outcome.log, kStartHeader);
  EXPECT_EQ(script.calls.back(), "Close manager");
}

// Stop.
const std::string kStopHeader = "\n BrackenScripted \t stop opt: \n\r\n";

TEST_F(ScriptedService, StopOfAStoppedServiceEndsItsProcessAndSendsNothing) {
  DummyProcess leftOver(BesideTests(L"dummy_process.exe"));
  Answer stopped = Status(SERVICE_STOPPED);
  stopped.processId = leftOver.id();
  script.reads[kService] = {stopped};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service is already stopped."));
  EXPECT_EQ(outcome.log, kStopHeader + Record("Service is already stopped."));
  DWORD exitCode = 99;
  EXPECT_TRUE(leftOver.Ended(5000, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 0u);
  EXPECT_EQ(Count("Enum BrackenScripted 0"), 0u);
  EXPECT_EQ(Count("Open BrackenScripted 44"), 1u);  // stop, query status, enumerate dependents
}

TEST_F(ScriptedService, StopOfARunningServiceWithoutDependents) {
  script.reads[kService] = {Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING, 1, 700), Status(SERVICE_STOPPED)};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 500)};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stopped successfully"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("Service stopped successfully"));
  EXPECT_EQ(Count("Enum BrackenScripted 0"), 1u);
  // The waits after the control sleep for the hint itself.
  EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep 500", "Sleep 700"}));
}

TEST_F(ScriptedService, StopWaitsForAStopInProgress) {
  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 40000), Status(SERVICE_STOP_PENDING, 2, 40000),
                            Status(SERVICE_STOPPED)};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stop pending...") + Line("Service stop pending...") +
                             Line("Service stopped successfully."));
  EXPECT_EQ(outcome.log, kStopHeader + Record("Service stop pending...") + Record("Service stop pending...") +
                             Record("Service stopped successfully."));
  EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep 4000", "Sleep 4000"}));
  EXPECT_EQ(Count("Control BrackenScripted"), 0u);
}

TEST_F(ScriptedService, StopEndsTheProcessOfAStopThatTakesTooLong) {
  DummyProcess stuck(BesideTests(L"dummy_process.exe"));
  Answer pending = Status(SERVICE_STOP_PENDING, 1, 0);
  pending.processId = stuck.id();
  script.clock = 0xFFFFC000;  // wraps during the wait
  script.reads[kService] = {pending};
  const Outcome outcome = Stop();
  std::string expected;
  for (int pass = 0; pass < 31; ++pass) expected += Line("Service stop pending...");
  EXPECT_EQ(outcome.out, expected + Line("Service stop timed out."));
  EXPECT_NE(outcome.log.find(Record("Service stop pending...") + Record("Service stop timed out.")), std::string::npos);
  DWORD exitCode = 99;
  EXPECT_TRUE(stuck.Ended(5000, &exitCode));
  EXPECT_EQ(exitCode, 0u);
}

TEST_F(ScriptedService, StopEndsTheProcessWhenTheStopWaitRunsOut) {
  DummyProcess stuck(BesideTests(L"dummy_process.exe"));
  Answer pending = Status(SERVICE_STOP_PENDING, 1, 10000);
  pending.processId = stuck.id();
  script.reads[kService] = {Status(SERVICE_RUNNING), pending};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 10000)};
  script.calls.clear();  // the dummy's own start-up pause
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, "Wait timed out\r\n");
  EXPECT_EQ(outcome.log, kStopHeader + "wait timed out \n\r\n");
  EXPECT_EQ(Sleeps().size(), 4u);
  EXPECT_TRUE(stuck.Ended(5000));
}

TEST_F(ScriptedService, AStopGivesUpAfterItsBudgetWhateverWaitHintTheServiceReports) {
  struct Case {
    const char* what;
    std::vector<Answer> reads;
    std::vector<Answer> controls;  // none: the service has a dependent that reports the hint
    std::vector<std::string> sleeps;
    std::string out;
  };
  const Answer hanging = Status(SERVICE_STOP_PENDING, 1, 600000);
  const Case cases[] = {
      {"after the control", {Status(SERVICE_RUNNING), hanging}, {hanging}, {"Sleep 30001"}, "Wait timed out\r\n"},
      {"a stop in progress",
       {hanging},
       {},
       {"Sleep 10000", "Sleep 10000", "Sleep 10000", "Sleep 1"},
       Line("Service stop pending...") + Line("Service stop pending...") + Line("Service stop pending...") +
           Line("Service stop pending...") + Line("Service stop timed out.")},
      {"a dependent", {Status(SERVICE_RUNNING), hanging}, {}, {"Sleep 30001", "Sleep 0"}, "Wait timed out\r\n"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    DummyProcess stuck(BesideTests(L"dummy_process.exe"));
    script = Script();
    for (Answer answer : test.reads) {
      answer.processId = stuck.id();
      script.reads[kService].push_back(answer);
    }
    script.controls[kService].assign(test.controls.begin(), test.controls.end());
    if (test.controls.empty() && test.reads.size() > 1) {
      script.dependents = {kDependentA};
      script.controls[kDependentA] = {hanging};
      script.reads[kDependentA] = {hanging};
      script.controls[kService] = {hanging};
    }
    EXPECT_EQ(Stop().out, test.out);
    EXPECT_EQ(Sleeps(), test.sleeps);
    EXPECT_TRUE(stuck.Ended(5000));
  }
}

TEST_F(ScriptedService, StopReportsRefusedControlsAndFailingReads) {
  script.reads[kService] = {Status(SERVICE_RUNNING)};
  script.controls[kService] = {Fails(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)};
  Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("ControlService failed (1061)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("ControlService failed (1061)"));

  script.reads[kService] = {Fails(ERROR_ACCESS_DENIED)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("QueryServiceStatusEx failed (5)"));

  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 0), Fails(ERROR_ACCESS_DENIED)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stop pending...") + Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("Service stop pending...") + Record("QueryServiceStatusEx failed (5)"));

  // After the control a failing read shows on the console only.
  script.reads[kService] = {Status(SERVICE_RUNNING), Fails(ERROR_ACCESS_DENIED)};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 100)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader);
}

TEST_F(ScriptedService, StopStopsTheDependentsFirstWithinTheSharedBudget) {
  script.dependents = {kDependentA, kDependentB};
  script.reads[kService] = {Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING, 2, 6000)};
  script.controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 20000)};
  script.reads[kDependentA] = {Status(SERVICE_STOPPED)};
  script.controls[kDependentB] = {Status(SERVICE_STOPPED)};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 6000)};
  const Outcome outcome = Stop();
  // 20000 ms went on the dependents: the service's own wait runs out during its second hint.
  EXPECT_EQ(outcome.out, "Wait timed out\r\n");
  const std::vector<std::string> expected = {
      "Open BrackenScripted 44", "Query BrackenScripted",   "Enum BrackenScripted 0",
      "Enum BrackenScripted " + std::to_string(2 * sizeof(ENUM_SERVICE_STATUSW) + 2 * 36),
      "Open BrackenDependentA 36", "Control BrackenDependentA", "Sleep 20000", "Query BrackenDependentA",
      "Close BrackenDependentA", "Open BrackenDependentB 36", "Control BrackenDependentB", "Close BrackenDependentB",
      "Control BrackenScripted", "Sleep 6000", "Query BrackenScripted", "Sleep 4001", "Query BrackenScripted",
      "Close BrackenScripted", "Close manager"};
  EXPECT_EQ(script.calls, expected);
}

TEST_F(ScriptedService, ADependentThatCannotBeStoppedEndsTheDependentsOnly) {
  // Not opened: the next dependent is left alone.
  script.dependents = {L"BrackenNoSuchDependent", kDependentB};
  script.reads[kService] = {Status(SERVICE_RUNNING)};
  script.controls[kService] = {Status(SERVICE_STOPPED)};
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Control BrackenDependentB"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  // The control refused.
  script.calls.clear();
  script.dependents = {kDependentA, kDependentB};
  script.controls[kDependentA] = {Fails(ERROR_DEPENDENT_SERVICES_RUNNING)};
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Close BrackenDependentA"), 1u);
  EXPECT_EQ(Count("Open BrackenDependentB 36"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  // Its status cannot be read.
  script.calls.clear();
  script.controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 10)};
  script.reads[kDependentA] = {Fails(ERROR_ACCESS_DENIED)};
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Open BrackenDependentB 36"), 0u);

  // The dependents' own budget runs out at the second one.
  script.calls.clear();
  script.controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 20000)};
  script.reads[kDependentA] = {Status(SERVICE_STOPPED)};
  script.controls[kDependentB] = {Status(SERVICE_STOP_PENDING, 1, 15000)};
  script.reads[kDependentB] = {Status(SERVICE_STOP_PENDING, 1, 15000)};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Query BrackenDependentB"), 1u);
  EXPECT_EQ(Count("Close BrackenDependentB"), 1u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  // No memory for the list.
  script.calls.clear();
  g_refusedBlock = 2 * sizeof(ENUM_SERVICE_STATUSW) + 2 * 36;
  {
    ImportPatch heap("kernel32.dll", "HeapAlloc", reinterpret_cast<const void*>(&RefusingHeapAlloc));
    g_heapAlloc = &heap;
    EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  }
  EXPECT_EQ(Count("HeapAlloc refused"), 1u);
  EXPECT_EQ(Count("Enum BrackenScripted 0"), 1u);
  EXPECT_EQ(Count("Open BrackenDependentA 36"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  // The list does not come into the block it asked for.
  script.calls.clear();
  script.enumAgainError = ERROR_INVALID_HANDLE;
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Open BrackenDependentA 36"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  // The list cannot be had at all.
  script.calls.clear();
  script.enumError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Enum BrackenScripted 0"), 1u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);
}

// Ending a service's process, and the access every call asks for.
TEST_F(ScriptedService, OnlyAProcessOfTheServicesOwnIsEnded) {
  struct Case {
    DWORD type;
    bool ended;
  };
  const Case cases[] = {{SERVICE_WIN32_OWN_PROCESS, true},
                        {SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, true},
                        {SERVICE_WIN32_SHARE_PROCESS, false},
                        {SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS, false}};
  for (const Case& test : cases) {
    DummyProcess host(BesideTests(L"dummy_process.exe"));
    Answer stopped = Status(SERVICE_STOPPED);
    stopped.processId = host.id();
    stopped.type = test.type;
    script.reads[kService] = {stopped};
    EXPECT_EQ(Stop().out, Line("Service is already stopped."));
    EXPECT_EQ(host.Ended(test.ended ? 3000 : 300), test.ended) << test.type;
  }
  // A process that is gone by the time it is to be ended changes nothing.
  Answer gone = Status(SERVICE_STOPPED);
  gone.processId = 0x7FFFFFF0;
  script.reads[kService] = {gone};
  EXPECT_EQ(Stop().out, Line("Service is already stopped."));
  // Delete goes on to the deletion when the status cannot be read, and ends the process
  // the same way when it can.
  script.reads[kService] = {Fails(ERROR_ACCESS_DENIED)};
  EXPECT_EQ(RunOperation([](ServiceControl& control) { control.Delete(kService.c_str()); }).out,
            Line("Service deleted successfully"));
  InstallTestService(kService, BesideTests(L"test_service.exe"));
  DummyProcess shared(BesideTests(L"dummy_process.exe"));
  Answer running = Status(SERVICE_RUNNING);
  running.processId = shared.id();
  running.type = SERVICE_WIN32_SHARE_PROCESS;
  script.reads[kService] = {running};
  EXPECT_EQ(RunOperation([](ServiceControl& control) { control.Delete(kService.c_str()); }).out,
            Line("Service deleted successfully"));
  EXPECT_FALSE(shared.Ended(300));
}

namespace {

ImportPatch* g_openProcess = nullptr;
ImportPatch* g_openToken = nullptr;
ImportPatch* g_openKey = nullptr;

HANDLE WINAPI RecordOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  g_script->masks.insert({"OpenProcess", access});
  return g_openProcess->Original<decltype(&OpenProcess)>()(access, inherit, id);
}
BOOL WINAPI RecordOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  g_script->masks.insert({"OpenProcessToken", access});
  return g_openToken->Original<decltype(&OpenProcessToken)>()(process, access, token);
}
LSTATUS WINAPI RecordRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key) {
  g_script->masks.insert({"RegOpenKeyExW", access});
  return g_openKey->Original<decltype(&RegOpenKeyExW)>()(root, subKey, options, access, key);
}
// These two only note what they were asked: nothing is created.
LSTATUS WINAPI RecordRegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM access, const SECURITY_ATTRIBUTES*,
                                     PHKEY, LPDWORD) {
  g_script->masks.insert({"RegCreateKeyExW", access});
  return ERROR_ACCESS_DENIED;
}
SC_HANDLE WINAPI RecordCreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD access, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                      LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
  g_script->masks.insert({"CreateServiceW", access});
  SetLastError(ERROR_SERVICE_EXISTS);
  return nullptr;
}

}  // namespace

TEST_F(ScriptedService, EveryAccessMaskIsTheOneWindowsHasAlwaysBeenGiven) {
  // Some masks of the headers grow with _WIN32_WINNT (PROCESS_ALL_ACCESS is 0x1FFFFF from
  // 0x0600 on); the tools pass the values every Windows since XP accepts.
  ImportPatch openProcess("kernel32.dll", "OpenProcess", reinterpret_cast<const void*>(&RecordOpenProcess));
  ImportPatch openToken("advapi32.dll", "OpenProcessToken", reinterpret_cast<const void*>(&RecordOpenProcessToken));
  ImportPatch openKey("advapi32.dll", "RegOpenKeyExW", reinterpret_cast<const void*>(&RecordRegOpenKeyExW));
  ImportPatch createKey("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<const void*>(&RecordRegCreateKeyExW));
  ImportPatch createService("advapi32.dll", "CreateServiceW", reinterpret_cast<const void*>(&RecordCreateServiceW));
  g_openProcess = &openProcess;
  g_openToken = &openToken;
  g_openKey = &openKey;
  DummyProcess host(BesideTests(L"dummy_process.exe"));
  Answer stopped = Status(SERVICE_STOPPED);
  stopped.processId = host.id();

  using Masks = std::set<std::pair<std::string, DWORD>>;
  const DWORD kManager = 0xF003F;
  struct Row {
    const char* what;
    std::function<void()> run;
    Masks masks;
  };
  const Row rows[] = {
      {"Install",
       [] { ServiceControl().Install(kService.c_str(), kService.c_str(), L"C:\\x.exe", L"x"); },
       {{"OpenSCManagerW", kManager}, {"CreateServiceW", 0xF01FF}}},
      {"Start",
       [&] {
         script.reads[kService] = {Status(SERVICE_RUNNING)};
         ServiceControl().Start(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0xF01FF}}},
      {"Stop with a dependent",
       [&] {
         script.dependents = {kDependentA};
         script.reads[kService] = {Status(SERVICE_RUNNING)};
         script.controls[kDependentA] = {Status(SERVICE_STOPPED)};
         script.controls[kService] = {Status(SERVICE_STOPPED)};
         ServiceControl().Stop(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0x2C}, {"OpenServiceW", 0x24}}},
      {"Stop ending the service's process",
       [&] {
         script.reads[kService] = {stopped};
         ServiceControl().Stop(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0x2C}, {"OpenProcess", 0x1F0FFF}}},
      {"Delete",
       [&] {
         script.reads[kService] = {stopped};
         ServiceControl().Delete(kService.c_str());
       },
       {{"OpenSCManagerW", kManager}, {"OpenServiceW", 0xF003F}, {"OpenProcess", 0x1F0FFF}}},
      {"Discovery",
       [] {
         wchar_t path[kPathChars] = {};
         GetDrvRegVal(L"SOFTWARE\\Apple Computer, Inc.\\iPod\\AppPaths", L"InstallDir", path);
       },
       {{"RegOpenKeyExW", KEY_READ | KEY_WOW64_64KEY}}},
      {"Support values", [] { CComRegKey(HKEY_LOCAL_MACHINE).WriteAppleSupportKeys(); }, {{"RegCreateKeyExW", 0xF003F}}},
      // The sweep opens every process with 0x431; the creation times of its ancestors it
      // reads with the least right that gives them.
      {"Sweep", [] { TerminateDeviceProcesses(); },
       {{"OpenProcessToken", 0x28}, {"OpenProcess", 0x431}, {"OpenProcess", PROCESS_QUERY_LIMITED_INFORMATION}}},
  };
  for (const Row& row : rows) {
    script.masks.clear();
    {
      StdoutCapture quiet;
      row.run();
    }
    EXPECT_EQ(script.masks, row.masks) << row.what;
  }
}
