// Every platform call of each switch failing in turn, in this process, with the scripted
// service manager and clock: services to stop, delete, install and start, and a process
// to sweep.
#include <windows.h>

#include <optional>

#include <gtest/gtest.h>

#include "entry.h"
#include "fault_injection.h"
#include "scripted_service.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

const std::wstring kProductKey32 = L"SOFTWARE\\QNVX\\marvento";
const std::vector<std::wstring> kServices = {L"Apple Mobile Device", L"VIVavuzaRovuda", L"iPod Service"};

// Puts "Apple Mobile Device" in place or takes it away, not started either way. Both run
// beside the script and the patched calls, with the calls that neither replaces.
void AppleServiceInstalled(bool installed) {
  const bool present = !ServiceBinaryPath(kServices[0]).empty();
  if (installed && !present) InstallTestService(kServices[0], BesideTests(L"test_service.exe"));
  if (installed || !present) return;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, kServices[0].c_str(), DELETE);
  EXPECT_TRUE(service && DeleteService(service));
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

}  // namespace

TEST_F(ScriptedService, FaultInjectionEveryCallOfEverySwitchMayFail) {
  const ScratchDir targets(CurrentTestName() + L"_targets");
  std::optional<DummyProcess> device;
  // The discovery finds the product's folder and the iPod folder.
  SetText(KEY_WOW64_32KEY, kProductKey32, L"InstallPath", targets.path());
  SetText(KEY_WOW64_64KEY, kIpodKey, L"InstallDir", targets.path());
  WithoutScript([] {
    for (const std::wstring& name : kServices) {
      RemoveService(name);
      InstallTestService(name, BesideTests(L"test_service.exe"));
    }
  });
  // Each service running with no process of its own, then stopped once asked; or stopped,
  // then running once started.
  const auto running = [&] {
    NextCase();
    for (const std::wstring& name : kServices) {
      script.reads[name] = {Status(SERVICE_RUNNING), Status(SERVICE_RUNNING), Status(SERVICE_STOPPED)};
      script.controls[name] = {Status(SERVICE_STOP_PENDING)};
    }
    if (!device || device->Ended(0)) {
      device.reset();
      device.emplace(targets / L"Mobile Device Support\\dummy_process.exe");
    }
    AppleServiceInstalled(true);
  };
  const auto stopped = [&] {
    NextCase();
    for (const std::wstring& name : kServices) script.reads[name] = {Status(SERVICE_STOPPED), Status(SERVICE_RUNNING)};
    script.startErrors.assign(10, 0);
    AppleServiceInstalled(false);
  };
  const std::vector<faults::Operation> operations = {
      {"Bracken", [&] { NextCase(); }, [] { return RunBracken(L"Bracken.exe"); }, {0}},
      {"Bracken /stopsvc", running, [] { return RunBracken(L"Bracken.exe /stopsvc"); }, {0}, false, 3 * 30000},
      {"Bracken /startsvc", stopped, [] { return RunBracken(L"Bracken.exe /startsvc"); }, {0}, false, 3 * 120000},
  };
  const faults::Totals totals =
      faults::RunAll(operations, BesideTests(L"bracken_tests.imports"), [this] { return script.clock; });
  EXPECT_GT(totals.points, 100u);
  EXPECT_EQ(totals.crashes + totals.hangs + totals.leaks + totals.oddExits, 0u);
  device.reset();
  WithoutScript([] {
    for (const std::wstring& name : kServices) RemoveService(name);
    DeleteTree(KEY_WOW64_32KEY, kAppleInc);
    DeleteTree(KEY_WOW64_32KEY, L"SOFTWARE\\QNVX");
    DeleteTree(KEY_WOW64_64KEY, L"SOFTWARE\\Apple Computer, Inc.");
  });
}

}  // namespace testing_support::bracken_test
