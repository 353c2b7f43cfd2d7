// A service manager that answers from a script, for the in-process tests of Start, Stop
// and the dependents: the status reads, start requests, stop controls and the dependents
// list come from the test's script, and the clock and Sleep are replaced so that no test
// waits for real time-outs. The manager and service handles are real, of test services
// that the fixture installs.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "service_control.h"

namespace testing_support::bracken_test {

inline const std::wstring kService = L"BrackenScripted";
inline const std::wstring kDependentA = L"BrackenDependentA";
inline const std::wstring kDependentB = L"BrackenDependentB";

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
inline Answer Fails(DWORD error) {
  Answer answer;
  answer.error = error;
  return answer;
}

// What the calls answer, and what happened, in order.
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
// The script of the running test, for replacements of further calls.
Script& ActiveScript();

inline Answer Status(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
  Answer answer;
  answer.state = state;
  answer.checkPoint = checkPoint;
  answer.waitHint = waitHint;
  return answer;
}

inline std::string Line(const std::string& text) { return "BrackenScripted \t " + text + "\r\n"; }
inline std::string Record(const std::string& text) { return "BrackenScripted \t " + text + "\n\r\n"; }

struct ScriptPatches;

class ScriptedService : public ::testing::Test {
 protected:
  ScriptedService();
  ~ScriptedService() override;
  void SetUp() override;
  void TearDown() override;
  // A fresh script for the next case of a test, clock at 0; nothing of the last case stays.
  Script& NextCase() {
    script = Script();
    return script;
  }
  // Runs `step` against the real service manager, the script's calls put back afterwards.
  void WithoutScript(const std::function<void()>& step);

  Outcome RunOperation(const std::function<void(ServiceControl&)>& operation) const {
    Outcome outcome = CaptureOperation(operation);
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
      if (made.starts_with("Sleep ")) sleeps.push_back(made);
    }
    return sleeps;
  }

  Script script;
  std::unique_ptr<ScriptPatches> patches;
};

}  // namespace testing_support::bracken_test
