// Install and Delete in-process against the real service manager, with single calls
// replaced where Wine cannot be made to fail or succeed on demand.
#include <windows.h>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "service_control.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

const std::wstring kProbe = L"BrackenInstallProbe";

BOOL WINAPI LockedStatus(SC_HANDLE, LPQUERY_SERVICE_LOCK_STATUSW status, DWORD size, LPDWORD needed) {
  EXPECT_EQ(size, 12u);
  status->fIsLocked = 1;
  status->lpLockOwner = nullptr;
  status->dwLockDuration = 0;
  *needed = size;
  return TRUE;
}

BOOL WINAPI FailingChangeServiceConfig2W(SC_HANDLE, DWORD, LPVOID) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

SC_HANDLE WINAPI FailingOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

BOOL WINAPI FailingDeleteService(SC_HANDLE) {
  SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
  return FALSE;
}

int g_controls = 0;
BOOL WINAPI CountingControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
  ++g_controls;
  return FALSE;
}

class InstallDelete : public ::testing::Test {
 protected:
  void SetUp() override { RemoveService(kProbe); }
  void TearDown() override {
    RemoveService(kProbe);
    DeleteFileW(BesideTests(L"test_service.log").c_str());
  }
  Outcome Install(const std::wstring& path) {
    return CaptureOperation([&](ServiceControl& control) {
      control.Install(kProbe.c_str(), L"Probe display", path.c_str(), L"Probe description");
    });
  }
  Outcome Delete() {
    return CaptureOperation([](ServiceControl& control) { control.Delete(kProbe.c_str()); });
  }
};

const std::string kInstallHeader = "\n BrackenInstallProbe install opt : \n\r\n";
const std::string kDeleteHeader = "\n BrackenInstallProbe \t del opt : \n\r\n";

}  // namespace

TEST_F(InstallDelete, InstallQuotesThePathOnlyWhenItIsNotQuotedYet) {
  const Outcome outcome = Install(L"C:\\Program Files (x86)\\Probe\\probe.exe");
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t Service installed successfully\r\n"
                         "BrackenInstallProbe \t Service description updated successfully.\r\n");
  EXPECT_EQ(outcome.log, kInstallHeader + "BrackenInstallProbe \t Service installed successfully\n\r\n");
  EXPECT_EQ(ServiceBinaryPath(kProbe), L"\"C:\\Program Files (x86)\\Probe\\probe.exe\"");
  RemoveService(kProbe);
  WaitForServiceState(kProbe, 0, 3000);

  Install(L"\"C:\\Program Files\\Probe\\probe.exe\" -service");
  EXPECT_EQ(ServiceBinaryPath(kProbe), L"\"C:\\Program Files\\Probe\\probe.exe\" -service");
}

TEST_F(InstallDelete, InstallShowsTheLockStatusWhenItCanBeRead) {
  ImportPatch lock("advapi32.dll", "QueryServiceLockStatusW", reinterpret_cast<const void*>(&LockedStatus));
  const Outcome outcome = Install(L"C:\\probe.exe");
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t cur svc lock status: 1 \r\n"
                         "BrackenInstallProbe \t Service installed successfully\r\n"
                         "BrackenInstallProbe \t Service description updated successfully.\r\n");
  EXPECT_EQ(outcome.log, kInstallHeader + "BrackenInstallProbe \t cur svc lock status: 1 \n\r\n" +
                             "BrackenInstallProbe \t Service installed successfully\n\r\n");
}

TEST_F(InstallDelete, AFailedDescriptionLeavesTheServiceInstalled) {
  ImportPatch describe("advapi32.dll", "ChangeServiceConfig2W",
                       reinterpret_cast<const void*>(&FailingChangeServiceConfig2W));
  const Outcome outcome = Install(L"C:\\probe.exe");
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t Service installed successfully\r\n"
                         "BrackenInstallProbe \t ChangeServiceConfig2 failed: (5)\r\n");
  EXPECT_EQ(outcome.log, kInstallHeader + "BrackenInstallProbe \t Service installed successfully\n\r\n");
  EXPECT_EQ(ServiceState(kProbe), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(InstallDelete, WithoutTheManagerOnlyTheHeadersAreLogged) {
  ImportPatch manager("advapi32.dll", "OpenSCManagerW", reinterpret_cast<const void*>(&FailingOpenSCManagerW));
  Outcome outcome = Install(L"C:\\probe.exe");
  EXPECT_EQ(outcome.out, "OpenSCManager failed (5)\r\n");
  EXPECT_EQ(outcome.log, kInstallHeader);
  outcome = Delete();
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t OpenSCManager failed (5)\r\n");
  EXPECT_EQ(outcome.log, kDeleteHeader);
  outcome = CaptureOperation([](ServiceControl& control) { control.Start(kProbe.c_str()); });
  EXPECT_EQ(outcome.out, "OpenSCManager failed (5)\r\n");
  outcome = CaptureOperation([](ServiceControl& control) { control.Stop(kProbe.c_str()); });
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t OpenSCManager failed (5)\r\n");
  EXPECT_EQ(outcome.log, "\n BrackenInstallProbe \t stop opt: \n\r\n");
}

TEST_F(InstallDelete, DeleteEndsTheProcessOfARunningServiceWithoutAStop) {
  const std::wstring exe = BesideTests(L"test_service.exe");
  InstallTestService(kProbe, exe);
  ASSERT_TRUE(StartTestService(kProbe));
  ASSERT_TRUE(WaitForServiceState(kProbe, SERVICE_RUNNING, 5000));
  SERVICE_STATUS_PROCESS status = {};
  {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kProbe.c_str(), SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  ASSERT_NE(status.dwProcessId, 0u);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, status.dwProcessId);
  ASSERT_NE(process, nullptr);

  g_controls = 0;
  Outcome outcome;
  {
    ImportPatch control("advapi32.dll", "ControlService", reinterpret_cast<const void*>(&CountingControlService));
    outcome = Delete();
  }
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t Service deleted successfully\r\n");
  EXPECT_EQ(outcome.log, kDeleteHeader + "BrackenInstallProbe \t Service deleted successfully\n\r\n");
  EXPECT_EQ(g_controls, 0);
  EXPECT_EQ(WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
  DWORD exitCode = 99;
  GetExitCodeProcess(process, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  CloseHandle(process);
  EXPECT_TRUE(WaitForServiceState(kProbe, 0, 5000));
}

TEST_F(InstallDelete, DeleteReportsAMissingServiceAndAFailedDeletion) {
  Outcome outcome = Delete();
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t OpenService failed (1060)\r\n");
  EXPECT_EQ(outcome.log, kDeleteHeader);

  InstallTestService(kProbe, BesideTests(L"test_service.exe"));
  {
    ImportPatch deletion("advapi32.dll", "DeleteService", reinterpret_cast<const void*>(&FailingDeleteService));
    outcome = Delete();
  }
  EXPECT_EQ(outcome.out, "BrackenInstallProbe \t Delete Service failed (1072)\r\n");
  EXPECT_EQ(outcome.log, kDeleteHeader + "BrackenInstallProbe \t Delete Service failed (1072)\n\r\n");
  EXPECT_EQ(ServiceState(kProbe), static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace testing_support::bracken_test
