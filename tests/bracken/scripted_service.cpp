#include "scripted_service.h"

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

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
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
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

}  // namespace

struct ScriptPatches {
  ScriptPatches() {
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

Script& ActiveScript() { return *g_script; }

ScriptedService::ScriptedService() = default;
ScriptedService::~ScriptedService() = default;

void ScriptedService::SetUp() {
  for (const std::wstring& name : {kService, kDependentA, kDependentB}) {
    RemoveService(name);
    InstallTestService(name, BesideTests(L"test_service.exe"));
  }
  g_script = &script;
  patches = std::make_unique<ScriptPatches>();
}

void ScriptedService::WithoutScript(const std::function<void()>& step) {
  patches.reset();
  step();
  patches = std::make_unique<ScriptPatches>();
}

void ScriptedService::TearDown() {
  patches.reset();
  g_script = nullptr;
  for (const std::wstring& name : {kService, kDependentA, kDependentB}) RemoveService(name);
}

}  // namespace testing_support::bracken_test
