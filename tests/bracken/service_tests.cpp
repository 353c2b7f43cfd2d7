// "/startsvc" and "/stopsvc" of the real program against the real service manager, with
// the test service standing in for the three services.
#include <windows.h>

#include <vector>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

const std::wstring kApple = L"Apple Mobile Device";
const std::wstring kProduct = L"VIVavuzaRovuda";
const std::wstring kIpod = L"iPod Service";

std::string Line(const std::wstring& name, const std::string& text) { return Narrow(name) + " \t " + text + "\r\n"; }

std::string Started(const std::wstring& name) {
  return Line(name, "Service start pending...") + Line(name, "Service started successfully.");
}

std::string Installed() {
  return Line(kApple, "Service installed successfully") + Line(kApple, "Service description updated successfully.");
}

struct ServiceConfig {
  std::wstring binaryPath;
  DWORD type = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::wstring account;
  std::wstring displayName;
  std::wstring description;
};

bool ReadConfig(const std::wstring& name, ServiceConfig& config) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG) : nullptr;
  bool read = false;
  if (service) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                            static_cast<DWORD>(buffer.size()), &needed)) {
      const auto* query = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
      config.binaryPath = query->lpBinaryPathName ? query->lpBinaryPathName : L"";
      config.type = query->dwServiceType;
      config.startType = query->dwStartType;
      config.errorControl = query->dwErrorControl;
      config.account = query->lpServiceStartName ? query->lpServiceStartName : L"";
      config.displayName = query->lpDisplayName ? query->lpDisplayName : L"";
      read = true;
    }
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), static_cast<DWORD>(buffer.size()),
                             &needed)) {
      const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
      config.description = description->lpDescription ? description->lpDescription : L"";
    }
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return read;
}

class Services : public BrackenRun {
 protected:
  void SetUp() override {
    BrackenRun::SetUp();
    Clean();
  }
  void TearDown() override { Clean(); }
  void Clean() {
    for (const std::wstring& name : {kApple, kProduct, kIpod}) RemoveService(name);
    for (const std::wstring& name : {kApple, kProduct, kIpod}) WaitForServiceState(name, 0, 3000);
    DeleteTree(KEY_WOW64_32KEY, kAppleInc);
    RemoveTree(L"C:\\Program Files (x86)\\Common Files\\Apple");
  }
  // The test service as all three services, in the modes the ini text gives.
  void PlaceServices(const std::string& ini) {
    PlaceTestService(kAppleServiceExe, ini);
    PlaceTestService(dir / L"svc\\test_service.exe", ini);
    InstallTestService(kProduct, dir / L"svc\\test_service.exe");
    InstallTestService(kIpod, dir / L"svc\\test_service.exe");
  }
  std::string ServiceLog() const { return ReadBytes(kSupportFolder + L"\\test_service.log"); }
};

}  // namespace

TEST_F(Services, StartInstallsAppleServiceWritesTheValuesAndStartsAllThree) {
  PlaceServices("");
  const RunResult run = Bracken(L"/startsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound() + Installed() + Started(kApple) + Started(kProduct) + Started(kIpod));
  EXPECT_EQ(ServiceState(kApple), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceState(kIpod), static_cast<DWORD>(SERVICE_RUNNING));

  ServiceConfig config;
  ASSERT_TRUE(ReadConfig(kApple, config));
  EXPECT_EQ(config.binaryPath, L"\"" + kAppleServiceExe + L"\"");
  EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(config.account, L"LocalSystem");
  EXPECT_EQ(config.displayName, kApple);
  EXPECT_EQ(config.description, L"Provides the interface to Apple mobile devices.");
  std::string dependencies;
  DWORD type = 0;
  ASSERT_TRUE(ReadValue(KEY_WOW64_64KEY, L"System\\CurrentControlSet\\Services\\" + kApple, L"DependOnService",
                        dependencies, &type));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(dependencies, std::string("T\0c\0p\0i\0p\0\0\0\0\0", 14));

  ExpectAllNine(L"C:\\Program Files (x86)");
  // The service found the support values in place when it started.
  EXPECT_EQ(ServiceLog(), "Apple Mobile Device started InstallDir=" + Narrow(kSupportFolder) + "\\\r\n");

  const std::string log = Log();
  const std::string expectedStart = "\n Apple Mobile Device install opt : \n\r\n"
                                    "Apple Mobile Device \t Service installed successfully\n\r\n"
                                    "\n Apple Mobile Device start opt : \n\r\n";
  EXPECT_NE(log.find(expectedStart), std::string::npos) << log;
  EXPECT_NE(log.find("Apple Mobile Device \t Service start pending...\n\r\n"), std::string::npos);
  EXPECT_NE(log.find("iPod Service \t Service started successfully.\n\r\n"), std::string::npos);
}

TEST_F(Services, StopStopsAllThreeAndDeletesAppleService) {
  PlaceServices("");
  ASSERT_EQ(Bracken(L"/startsvc").out,
            NothingFound() + Installed() + Started(kApple) + Started(kProduct) + Started(kIpod));
  // Apple's service runs from a folder the sweep looks for: the sweep leaves its process to
  // the stop, and the service stops itself when asked.
  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound() + Line(kApple, "Service stopped successfully") +
                         Line(kApple, "Service deleted successfully") + Line(kProduct, "Service stopped successfully") +
                         Line(kIpod, "Service stopped successfully"));
  EXPECT_NE(ServiceLog().find("Apple Mobile Device stopped\r\n"), std::string::npos) << ServiceLog();
  EXPECT_TRUE(WaitForServiceState(kApple, 0, 3000));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(ServiceState(kIpod), static_cast<DWORD>(SERVICE_STOPPED));
  const std::string log = Log();
  EXPECT_NE(
      log.find("\n Apple Mobile Device \t del opt : \n\r\nApple Mobile Device \t Service deleted successfully\n\r\n"
               "\n VIVavuzaRovuda \t stop opt: \n\r\nVIVavuzaRovuda \t Service stopped successfully\n\r\n"
               "\n iPod Service \t stop opt: \n\r\niPod Service \t Service stopped successfully\n\r\n"),
      std::string::npos)
      << log;
}

TEST_F(Services, StopWithoutAppleServiceStillStopsTheOthers) {
  PlaceServices("");
  ASSERT_TRUE(StartTestService(kProduct));
  ASSERT_TRUE(WaitForServiceState(kProduct, SERVICE_RUNNING, 5000));
  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound() + Line(kApple, "OpenService failed (1060)") +
                         Line(kApple, "OpenService failed (1060)") + Line(kProduct, "Service stopped successfully") +
                         Line(kIpod, "Service is already stopped."));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_STOPPED));
  // Failures to open are not logged: the headers stand alone.
  const std::string log = Log();
  EXPECT_NE(log.find("\n Apple Mobile Device \t stop opt: \n\r\n\n Apple Mobile Device \t del opt : \n\r\n"
                     "\n VIVavuzaRovuda \t stop opt: \n\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("iPod Service \t Service is already stopped.\n\r\n"), std::string::npos);
}

TEST_F(Services, StartWhenAppleServiceExistsGoesOnWithValuesAndStarts) {
  PlaceServices("");
  ASSERT_EQ(Bracken(L"/startsvc").out,
            NothingFound() + Installed() + Started(kApple) + Started(kProduct) + Started(kIpod));
  // Another value in the key stays; a removed one comes back.
  SetText(KEY_WOW64_32KEY, kMobile, L"Keep", L"mine");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMobile.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key),
            ERROR_SUCCESS);
  RegDeleteValueW(key, L"Version");
  RegCloseKey(key);

  const RunResult run = Bracken(L"/STARTSVC");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound() + Line(kApple, "CreateService failed (1073)") +
                         Line(kApple, "Cannot start the service because it is already running") +
                         Line(kProduct, "Cannot start the service because it is already running") +
                         Line(kIpod, "Cannot start the service because it is already running"));
  ExpectAllNine(L"C:\\Program Files (x86)");
  ExpectText(kMobile, L"Keep", L"mine");
  const std::string log = Log();
  EXPECT_NE(
      log.find("Apple Mobile Device \t CreateService failed (1073)\n\r\n\n Apple Mobile Device start opt : \n\r\n"),
      std::string::npos);
  EXPECT_NE(log.find("\n \t chech if running : \n\r\nVIVavuzaRovuda \t Cannot start the service because it is "
                     "already running\n\r\n"),
            std::string::npos);
}

TEST_F(Services, SlowAndFailingStartsAreWaitedForAndJudged) {
  PlaceServices("VIVavuzaRovuda=slowstart\r\niPod Service=failstart\r\n");
  const RunResult run = Bracken(L"/startsvc");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, NothingFound() + Installed() + Started(kApple) + Started(kProduct) +
                         Line(kIpod, "Service start pending...") + Line(kIpod, "Service not started. ") +
                         "  Current State: 1\r\n  Exit Code: 31\r\n  Check Point: 0\r\n  Wait Hint: 0\r\n");
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceState(kIpod), static_cast<DWORD>(SERVICE_STOPPED));
  const std::string log = Log();
  EXPECT_NE(log.find("\t ssStatus.dwCurrentState == SERVICE_START_PENDING \n\r\n"), std::string::npos);
  EXPECT_NE(
      log.find("iPod Service \t Service not started. \n\r\n \t\t  Current State: 1\n\r\n \t\t  Exit Code: 31\n\r\n"
               " \t\t Check Point: 0\n\r\n \t\t Wait Hint: 0\n\r\n"),
      std::string::npos)
      << log;
}

TEST_F(Services, SlowStopsAreWaitedFor) {
  PlaceServices("VIVavuzaRovuda=slowstop\r\n");
  ASSERT_TRUE(StartTestService(kProduct));
  ASSERT_TRUE(WaitForServiceState(kProduct, SERVICE_RUNNING, 5000));
  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.out, NothingFound() + Line(kApple, "OpenService failed (1060)") +
                         Line(kApple, "OpenService failed (1060)") + Line(kProduct, "Service stopped successfully") +
                         Line(kIpod, "Service is already stopped."));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(Services, StartWaitsForAStopInProgressThenStarts) {
  PlaceServices("VIVavuzaRovuda=longstop\r\n");
  ASSERT_TRUE(StartTestService(kProduct));
  ASSERT_TRUE(WaitForServiceState(kProduct, SERVICE_RUNNING, 5000));
  {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, kProduct.c_str(), SERVICE_STOP);
    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  ASSERT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_STOP_PENDING));
  const RunResult run = Bracken(L"/startsvc");
  EXPECT_EQ(run.out, NothingFound() + Installed() + Started(kApple) + Started(kProduct) + Started(kIpod));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(Log().find("\t ssStatus.dwCurrentState == SERVICE_STOP_PENDING \n\r\n"), std::string::npos);
}

TEST_F(Services, ADependentThatWineDoesNotReportIsStartedAndStoppedInTheFixedOrder) {
  PlaceTestService(kAppleServiceExe, "");
  PlaceTestService(dir / L"svc\\test_service.exe", "");
  InstallTestService(kProduct, dir / L"svc\\test_service.exe");
  // "iPod Service" depends on the product's service.
  InstallTestService(kIpod, dir / L"svc\\test_service.exe", L"VIVavuzaRovuda\0");
  ASSERT_EQ(Bracken(L"/startsvc").out,
            NothingFound() + Installed() + Started(kApple) + Started(kProduct) + Started(kIpod));
  // Wine reports no dependents and lets the product's service stop while the iPod
  // service still runs; the iPod service is then stopped in its own turn.
  const RunResult run = Bracken(L"/stopsvc");
  EXPECT_EQ(run.out, NothingFound() + Line(kApple, "Service stopped successfully") +
                         Line(kApple, "Service deleted successfully") + Line(kProduct, "Service stopped successfully") +
                         Line(kIpod, "Service stopped successfully"));
  EXPECT_EQ(ServiceState(kProduct), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(ServiceState(kIpod), static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace testing_support::bracken_test
