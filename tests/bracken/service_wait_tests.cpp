// Start, Stop and the dependents in-process, against the scripted service manager.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "import_patch.h"
#include "scripted_service.h"

namespace testing_support::bracken_test {

namespace {

ImportPatch* g_heapAlloc = nullptr;
SIZE_T g_refusedBlock = 0;
LPVOID WINAPI RefusingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (bytes == g_refusedBlock && flags == HEAP_ZERO_MEMORY) {
    ActiveScript().calls.push_back("HeapAlloc refused");
    return nullptr;
  }
  return g_heapAlloc->Original<decltype(&HeapAlloc)>()(heap, flags, bytes);
}

const std::string kStartHeader = "\n BrackenScripted start opt : \n\r\n";
std::string SavedTicks(DWORD tick, DWORD checkPoint) {
  return "\n \t Save the tick count and initial checkpoint : \n\r\ndwStartTickCount = " + std::to_string(tick) +
         ", dwOldCheckPoint = " + std::to_string(checkPoint) + " \n\r\n";
}
const std::string kWaitForStop = "\n Wait for the service to stop before attempting to start it \n\r\n";
const std::string kStopPendingRecord = "\t ssStatus.dwCurrentState == SERVICE_STOP_PENDING \n\r\n";
const std::string kStartPendingRecord = "\t ssStatus.dwCurrentState == SERVICE_START_PENDING \n\r\n";

// The four values as the tool prints them, signed.
std::string NotStarted(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  auto text = [](DWORD value) { return std::to_string(static_cast<int>(value)); };
  return Line("Service not started. ") + "  Current State: " + text(state) + "\r\n  Exit Code: " + text(exitCode) +
         "\r\n  Check Point: " + text(checkPoint) + "\r\n  Wait Hint: " + text(waitHint) + "\r\n";
}
std::string NotStartedRecords(DWORD state, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  return Record("Service not started. ") + " \t\t  Current State: " + std::to_string(state) +
         "\n\r\n \t\t  Exit Code: " + std::to_string(exitCode) +
         "\n\r\n \t\t Check Point: " + std::to_string(checkPoint) +
         "\n\r\n \t\t Wait Hint: " + std::to_string(waitHint) + "\n\r\n";
}

}  // namespace

TEST_F(ScriptedService, StartRefusesAServiceThatIsNotStopped) {
  for (DWORD state : {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_PAUSED}) {
    SCOPED_TRACE(state);
    NextCase().reads[kService] = {Status(state)};
    const Outcome outcome = Start();
    EXPECT_EQ(outcome.out, Line("Cannot start the service because it is already running"));
    EXPECT_EQ(outcome.log, kStartHeader + "\n \t chech if running : \n\r\n" +
                               Record("Cannot start the service because it is already running"));
    EXPECT_EQ(Count("Start BrackenScripted"), 0u);
    EXPECT_EQ(Count("Open BrackenScripted 983551"), 1u);  // SERVICE_ALL_ACCESS
  }
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
  script.reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 1500),
                            Status(SERVICE_STOP_PENDING, 2, 1500),
                            Status(SERVICE_STOP_PENDING, 3, 1500),
                            Status(SERVICE_STOP_PENDING, 4, 1500),
                            Status(SERVICE_STOP_PENDING, 5, 1500),
                            Status(SERVICE_STOPPED),
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
  EXPECT_EQ(outcome.out,
            Line("StartService failed (1053)") + Line("StartService again failed (1053)") + NotStarted(1, 0, 0, 0));
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

TEST_F(ScriptedService, AStartGivesUpAfterTwoMinutesWhateverTheServiceReports) {
  // Checkpoints that rise at every read, with a hint of 20 s: polls of 2 s.
  auto rising = [](DWORD state) {
    std::vector<Answer> reads;
    for (DWORD checkPoint = 1; checkPoint < 80; ++checkPoint) reads.push_back(Status(state, checkPoint, 20000));
    return reads;
  };
  std::vector<Answer> risingStart = rising(SERVICE_START_PENDING);
  risingStart.insert(risingStart.begin(), Status(SERVICE_STOPPED));
  struct Case {
    const char* what;
    std::vector<Answer> reads;
    std::string out;
    size_t polls;  // then one of 1 ms, to the end of the budget
  };
  const Case cases[] = {
      {"a start with a huge hint and no progress",
       {Status(SERVICE_STOPPED), Status(SERVICE_START_PENDING, 1, 0xFFFFFFFF)},
       Line("Service start pending...") + NotStarted(2, 0, 1, 0xFFFFFFFF),
       12},
      {"a start whose checkpoint rises for ever", risingStart,
       Line("Service start pending...") + NotStarted(2, 0, 62, 20000), 60},
      {"a stop that never ends before the start", rising(SERVICE_STOP_PENDING),
       "Timeout waiting for service to stop\r\n", 60},
      {"a stop with a huge hint",
       {Status(SERVICE_STOP_PENDING, 1, 0xFFFFFFFF)},
       "Timeout waiting for service to stop\r\n",
       12},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    NextCase().reads[kService].assign(test.reads.begin(), test.reads.end());
    script.startErrors = {0};
    EXPECT_EQ(Start().out, test.out);
    const std::vector<std::string> sleeps = Sleeps();
    ASSERT_EQ(sleeps.size(), test.polls + 1);
    EXPECT_EQ(sleeps.back(), "Sleep 1");
    EXPECT_EQ(script.clock, 120001u);
  }
}

TEST_F(ScriptedService, StartReportsAFailingStatusReadWhereverItHappens) {
  SCOPED_TRACE("the first read");
  script.reads[kService] = {Fails(ERROR_ACCESS_DENIED)};
  Outcome outcome = Start();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStartHeader + "\n \t check if stopped : \n\r\n" + Record("QueryServiceStatusEx failed (5)"));

  SCOPED_TRACE("a read in the stop-pending wait");
  NextCase().reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 3000), Fails(ERROR_INVALID_HANDLE)};
  outcome = Start();
  EXPECT_EQ(outcome.out, "QueryServiceStatusEx failed (6)\r\n");
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(0, 1) + kWaitForStop + kStopPendingRecord +
                             "\t Check the status until the service is no longer stop pending\n\r\n" +
                             Record("QueryServiceStatusEx failed (6)"));
  EXPECT_EQ(Count("Start BrackenScripted"), 0u);

  SCOPED_TRACE("the read after the start request");
  NextCase().reads[kService] = {Status(SERVICE_STOPPED), Fails(ERROR_ACCESS_DENIED)};
  script.startErrors = {0};
  outcome = Start();
  EXPECT_EQ(outcome.out, Line("Service start pending...") + Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStartHeader + SavedTicks(0, 0) + kWaitForStop + Record("Service start pending...") +
                             "\n \t Check the status until the service is no longer start pending\n\r\n" +
                             Record("QueryServiceStatusEx failed (5)"));

  // Inside the start-pending wait the last good status is judged.
  SCOPED_TRACE("a read in the start-pending wait");
  NextCase().reads[kService] = {Status(SERVICE_STOPPED), Status(SERVICE_START_PENDING, 3, 1000),
                                Fails(ERROR_ACCESS_DENIED)};
  script.startErrors = {0};
  outcome = Start();
  EXPECT_EQ(outcome.out,
            Line("Service start pending...") + "QueryServiceStatusEx failed (5)\r\n" + NotStarted(2, 0, 3, 1000));
}

TEST_F(ScriptedService, StartOfAMissingServiceClosesTheManager) {
  WithoutScript([] { RemoveService(kService); });
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
  EXPECT_EQ(outcome.out,
            Line("Service stop pending...") + Line("Service stop pending...") + Line("Service stopped successfully."));
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
  // A hint of 0 is polled no faster than every 100 ms.
  const Answer noHint = Status(SERVICE_STOP_PENDING, 1, 0);
  std::vector<std::string> floorSleeps(300, "Sleep 100");
  floorSleeps.emplace_back("Sleep 1");
  const Case cases[] = {
      {"a wait hint of 0", {Status(SERVICE_RUNNING), noHint}, {noHint}, floorSleeps, "Wait timed out\r\n"},
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
    NextCase();
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
  SCOPED_TRACE("a refused control");
  script.reads[kService] = {Status(SERVICE_RUNNING)};
  script.controls[kService] = {Fails(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)};
  Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("ControlService failed (1061)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("ControlService failed (1061)"));

  SCOPED_TRACE("the first read");
  NextCase().reads[kService] = {Fails(ERROR_ACCESS_DENIED)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("QueryServiceStatusEx failed (5)"));

  SCOPED_TRACE("a read in the stop-pending wait");
  NextCase().reads[kService] = {Status(SERVICE_STOP_PENDING, 1, 0), Fails(ERROR_ACCESS_DENIED)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stop pending...") + Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("Service stop pending...") + Record("QueryServiceStatusEx failed (5)"));

  // After the control a failing read shows on the console only.
  SCOPED_TRACE("a read after the control");
  NextCase().reads[kService] = {Status(SERVICE_RUNNING), Fails(ERROR_ACCESS_DENIED)};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 100)};
  outcome = Stop();
  EXPECT_EQ(outcome.out, Line("QueryServiceStatusEx failed (5)"));
  EXPECT_EQ(outcome.log, kStopHeader);
}

TEST_F(ScriptedService, StopStopsTheDependentsFirstWithinTheSharedBudget) {
  script.dependents = {kDependentA, kDependentB};
  script.reads[kService] = {Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING, 2, 6000)};
  // The first dependent takes two of its wait hints.
  script.controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 10000)};
  script.reads[kDependentA] = {Status(SERVICE_STOP_PENDING, 2, 10000), Status(SERVICE_STOPPED)};
  script.controls[kDependentB] = {Status(SERVICE_STOPPED)};
  script.controls[kService] = {Status(SERVICE_STOP_PENDING, 1, 6000)};
  const Outcome outcome = Stop();
  // 20000 ms went on the dependents: the service's own wait runs out during its second hint.
  EXPECT_EQ(outcome.out, "Wait timed out\r\n");
  const std::vector<std::string> expected = {
      "Open BrackenScripted 44",
      "Query BrackenScripted",
      "Enum BrackenScripted 0",
      "Enum BrackenScripted " + std::to_string(2 * sizeof(ENUM_SERVICE_STATUSW) + 2 * 36),
      "Open BrackenDependentA 36",
      "Control BrackenDependentA",
      "Sleep 10000",
      "Query BrackenDependentA",
      "Sleep 10000",
      "Query BrackenDependentA",
      "Close BrackenDependentA",
      "Open BrackenDependentB 36",
      "Control BrackenDependentB",
      "Close BrackenDependentB",
      "Control BrackenScripted",
      "Sleep 6000",
      "Query BrackenScripted",
      "Sleep 4001",
      "Query BrackenScripted",
      "Close BrackenScripted",
      "Close manager"};
  EXPECT_EQ(script.calls, expected);
}

TEST_F(ScriptedService, ADependentThatCannotBeStoppedEndsTheDependentsOnly) {
  // Each case stops a running service that stops at once.
  auto nextCase = [this](std::vector<std::wstring> dependents) -> Script& {
    Script& fresh = NextCase();
    fresh.dependents = std::move(dependents);
    fresh.reads[kService] = {Status(SERVICE_RUNNING)};
    fresh.controls[kService] = {Status(SERVICE_STOPPED)};
    return fresh;
  };
  SCOPED_TRACE("the control refused");
  nextCase({kDependentA, kDependentB}).controls[kDependentA] = {Fails(ERROR_DEPENDENT_SERVICES_RUNNING)};
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Close BrackenDependentA"), 1u);
  EXPECT_EQ(Count("Open BrackenDependentB 36"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  SCOPED_TRACE("its status cannot be read");
  nextCase({kDependentA, kDependentB}).controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 10)};
  script.reads[kDependentA] = {Fails(ERROR_ACCESS_DENIED)};
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Open BrackenDependentB 36"), 0u);

  SCOPED_TRACE("the dependents' own budget runs out at the second one");
  nextCase({kDependentA, kDependentB}).controls[kDependentA] = {Status(SERVICE_STOP_PENDING, 1, 20000)};
  script.reads[kDependentA] = {Status(SERVICE_STOPPED)};
  script.controls[kDependentB] = {Status(SERVICE_STOP_PENDING, 1, 15000)};
  script.reads[kDependentB] = {Status(SERVICE_STOP_PENDING, 1, 15000)};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Query BrackenDependentB"), 1u);
  EXPECT_EQ(Count("Close BrackenDependentB"), 1u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  SCOPED_TRACE("no memory for the list");
  nextCase({kDependentA, kDependentB});
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

  SCOPED_TRACE("the list does not come into the block it asked for");
  nextCase({kDependentA, kDependentB}).enumAgainError = ERROR_INVALID_HANDLE;
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Open BrackenDependentA 36"), 0u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);

  SCOPED_TRACE("the list cannot be had at all");
  nextCase({kDependentA, kDependentB}).enumError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
  EXPECT_EQ(Count("Enum BrackenScripted 0"), 1u);
  EXPECT_EQ(Count("Control BrackenScripted"), 1u);
}

namespace {

const std::wstring kRefusedDependent = L"BrackenRefusedDependent";
ImportPatch* g_openService = nullptr;
SC_HANDLE WINAPI RefusingOpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (name == kRefusedDependent) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return g_openService->Original<decltype(&OpenServiceW)>()(manager, name, access);
}

}  // namespace

TEST_F(ScriptedService, DependentsGoneStoppedOrStoppingDoNotEndTheWalk) {
  ImportPatch openService("advapi32.dll", "OpenServiceW", reinterpret_cast<const void*>(&RefusingOpenServiceW));
  g_openService = &openService;
  const struct {
    const char* what;
    std::wstring first;
    Answer control;  // of the first dependent
    std::vector<Answer> reads;
    std::vector<std::string> sleeps;
    size_t secondStopped = 1;  // 0: the walk ends at the first dependent
  } cases[] = {
      {"deleted since it was listed", L"BrackenNoSuchDependent", {}, {}, {}},
      {"deleted after it was opened", kDependentA, Fails(ERROR_SERVICE_DOES_NOT_EXIST), {}, {}},
      {"stopped since it was listed", kDependentA, Fails(ERROR_SERVICE_NOT_ACTIVE), {}, {}},
      {"stopping already",
       kDependentA,
       Fails(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
       {Status(SERVICE_STOP_PENDING, 1, 700), Status(SERVICE_STOPPED)},
       {"Sleep 700"}},
      // Other failures still end the walk.
      {"not opened for another reason", kRefusedDependent, {}, {}, {}, 0},
      {"stopping, and its status cannot be read",
       kDependentA,
       Fails(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
       {Fails(ERROR_ACCESS_DENIED)},
       {},
       0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    NextCase().dependents = {test.first, kDependentB};
    script.controls[test.first] = {test.control};
    script.reads[test.first].assign(test.reads.begin(), test.reads.end());
    script.controls[kDependentB] = {Status(SERVICE_STOPPED)};
    script.reads[kService] = {Status(SERVICE_RUNNING)};
    script.controls[kService] = {Status(SERVICE_STOPPED)};
    EXPECT_EQ(Stop().out, Line("Service stopped successfully"));
    EXPECT_EQ(Count("Control BrackenDependentB"), test.secondStopped);
    EXPECT_EQ(Sleeps(), test.sleeps);
  }

  // A stop that Windows refuses because dependents still run ends the service's process.
  DummyProcess stuck(BesideTests(L"dummy_process.exe"));
  Answer running = Status(SERVICE_RUNNING);
  running.processId = stuck.id();
  NextCase().dependents = {kDependentA};
  script.controls[kDependentA] = {Fails(ERROR_ACCESS_DENIED)};
  script.reads[kService] = {running};
  script.controls[kService] = {Fails(ERROR_DEPENDENT_SERVICES_RUNNING)};
  const Outcome outcome = Stop();
  EXPECT_EQ(outcome.out, Line("ControlService failed (1051)"));
  EXPECT_EQ(outcome.log, kStopHeader + Record("ControlService failed (1051)"));
  EXPECT_TRUE(stuck.Ended(5000));
}

namespace {

SC_HANDLE WINAPI RefusedOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

}  // namespace

TEST_F(ScriptedService, OnlyTheProcessesOfServicesRunningAloneAreLeftToTheirStops) {
  Answer alone = Status(SERVICE_RUNNING);
  alone.processId = 1234;
  Answer shared = alone;
  shared.type = SERVICE_WIN32_SHARE_PROCESS;
  script.reads[kService] = {alone};
  script.reads[kDependentA] = {shared};
  script.reads[kDependentB] = {Fails(ERROR_ACCESS_DENIED)};
  const auto all = {kService.c_str(), kDependentA.c_str(), kDependentB.c_str(), L"BrackenNoSuchService"};
  EXPECT_EQ(OwnServiceProcesses(all), std::vector<DWORD>{1234});
  EXPECT_TRUE(script.open.empty());
  script.reads[kService] = {Status(SERVICE_STOPPED)};
  EXPECT_TRUE(OwnServiceProcesses(all).empty());
  ImportPatch refused("advapi32.dll", "OpenSCManagerW", reinterpret_cast<const void*>(&RefusedOpenSCManagerW));
  script.reads[kService] = {alone};
  EXPECT_TRUE(OwnServiceProcesses(all).empty());
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
    SCOPED_TRACE(test.type);
    DummyProcess host(BesideTests(L"dummy_process.exe"));
    Answer stopped = Status(SERVICE_STOPPED);
    stopped.processId = host.id();
    stopped.type = test.type;
    NextCase().reads[kService] = {stopped};
    EXPECT_EQ(Stop().out, Line("Service is already stopped."));
    EXPECT_EQ(host.Ended(test.ended ? 3000 : 300), test.ended);
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

}  // namespace testing_support::bracken_test
