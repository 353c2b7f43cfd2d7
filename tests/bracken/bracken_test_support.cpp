#include "bracken_test_support.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service_control.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

struct ScHandle {
  SC_HANDLE handle;
  ~ScHandle() {
    if (handle) CloseServiceHandle(handle);
  }
};

}  // namespace

std::string ProbeError(const std::wstring& subKey) {
  return "GetDrvRegVal error:\r\n App Reg Path : " + Narrow(subKey) + " \r\n";
}

std::string NothingFound() { return ProbeError(kProductKey) + ProbeError(kUninstallKey) + ProbeError(kIpodKey); }

void SetBytes(REGSAM view, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetText(REGSAM view, const std::wstring& subKey, const std::wstring& name, const std::wstring& text) {
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
  SetBytes(view, subKey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ReadValue(REGSAM view, const std::wstring& subKey, const std::wstring& name, std::string& data, DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  // A size query may count a terminator that the data lack; a read into room enough
  // gives the stored bytes.
  DWORD valueType = 0;
  std::vector<char> buffer(64 * 1024);
  DWORD size = static_cast<DWORD>(buffer.size());
  const LONG status =
      RegQueryValueExW(key, name.c_str(), nullptr, &valueType, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (status == ERROR_SUCCESS) data.assign(buffer.data(), size);
  RegCloseKey(key);
  if (type) *type = valueType;
  return status == ERROR_SUCCESS;
}

void DeleteTree(REGSAM view, const std::wstring& subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
  RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), view, 0);
}

namespace {

// REG_SZ data as stored: UTF-16 with the terminator.
std::string Stored(const std::wstring& text) {
  std::string bytes;
  for (const wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  bytes.append(2, '\0');
  return bytes;
}

}  // namespace

void ExpectText(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
  std::string data;
  DWORD type = 0;
  ASSERT_TRUE(ReadValue(KEY_WOW64_32KEY, key, name, data, &type)) << Narrow(key) << " " << Narrow(name);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << Narrow(name);
  EXPECT_EQ(data, Stored(text)) << Narrow(key) << " " << Narrow(name);
}

bool Exists(const std::wstring& key, const std::wstring& name) {
  std::string data;
  return ReadValue(KEY_WOW64_32KEY, key, name, data);
}

void ExpectAllNine(const std::wstring& programFiles) {
  const std::wstring common = programFiles + L"\\Common Files\\Apple\\";
  const std::wstring mobile = common + L"Mobile Device Support\\";
  ExpectText(kApplication, L"InstallDir", common + L"Apple Application Support\\");
  ExpectText(kApplication, L"UserVisibleVersion", L"3.1");
  ExpectText(kApplication, L"Version", L"3.1");
  ExpectText(kMobile, L"InstallDir", mobile);
  ExpectText(kMobile, L"Version", L"8.0.5.6");
  ExpectText(kShared, L"ASMapiInterfaceDLL", mobile + L"AppleSyncMapiInterface.dll");
  ExpectText(kShared, L"AirTrafficHostDLL", mobile + L"AirTrafficHost.dll");
  ExpectText(kShared, L"MobileDeviceDLL", mobile + L"MobileDevice.dll");
  ExpectText(kShared, L"iTunesMobileDeviceDLL", mobile + L"iTunesMobileDevice.dll");
}

void InstallTestService(const std::wstring& name, const std::wstring& exe, const wchar_t* dependencies) {
  const ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  ASSERT_NE(manager.handle, nullptr);
  const std::wstring path = L"\"" + exe + L"\"";
  const ScHandle service{CreateServiceW(manager.handle, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                        path.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr)};
  ASSERT_NE(service.handle, nullptr) << "CreateService " << Narrow(name) << " failed " << GetLastError();
}

std::wstring ServiceBinaryPath(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG);
  std::wstring path;
  BYTE buffer[8192];
  DWORD needed = 0;
  if (service &&
      QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed)) {
    path = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer)->lpBinaryPathName;
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return path;
}

DWORD ServiceState(const std::wstring& name) {
  const ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
  const ScHandle service{manager.handle ? OpenServiceW(manager.handle, name.c_str(), SERVICE_QUERY_STATUS) : nullptr};
  SERVICE_STATUS status = {};
  if (!service.handle || !QueryServiceStatus(service.handle, &status)) return 0;
  return status.dwCurrentState;
}

bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD milliseconds) {
  for (DWORD waited = 0;; waited += 100) {
    if (ServiceState(name) == state) return true;
    if (waited >= milliseconds) return false;
    Sleep(100);
  }
}

bool StartTestService(const std::wstring& name) {
  const ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  const ScHandle service{manager.handle ? OpenServiceW(manager.handle, name.c_str(), SERVICE_START) : nullptr};
  return service.handle && StartServiceW(service.handle, 0, nullptr);
}

void RemoveService(const std::wstring& name) {
  const ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (!manager.handle) return;
  const ScHandle service{OpenServiceW(manager.handle, name.c_str(), SERVICE_ALL_ACCESS)};
  if (!service.handle) return;
  SERVICE_STATUS status = {};
  ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
  WaitForServiceState(name, SERVICE_STOPPED, 5000);
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof process,
                           &needed) &&
      process.dwProcessId) {
    if (HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId)) {
      TerminateProcess(handle, 1);
      WaitForSingleObject(handle, 5000);
      CloseHandle(handle);
    }
  }
  DeleteService(service.handle);
}

void PlaceTestService(const std::wstring& exe, const std::string& ini) {
  const std::wstring folder = exe.substr(0, exe.rfind(L'\\'));
  MakeDirectories(folder);
  ASSERT_TRUE(CopyFileW(BesideTests(L"test_service.exe").c_str(), exe.c_str(), FALSE)) << GetLastError();
  WriteBytes(folder + L"\\test_service.ini", ini);
  DeleteFileW((folder + L"\\test_service.log").c_str());
}

DummyProcess::DummyProcess(const std::wstring& exe, const std::wstring& arguments) {
  const std::wstring original = BesideTests(exe.substr(exe.rfind(L'\\') + 1));
  if (_wcsicmp(exe.c_str(), original.c_str()) != 0) {
    MakeDirectories(exe.substr(0, exe.rfind(L'\\')));
    EXPECT_TRUE(CopyFileW(original.c_str(), exe.c_str(), FALSE)) << GetLastError();
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  for (int attempt = 0; attempt < 3 && !process_; ++attempt) {
    if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &info)) {
      process_ = info.hProcess;
      id_ = info.dwProcessId;
    } else {
      Sleep(200);
    }
  }
  EXPECT_NE(process_, nullptr) << "cannot start " << Narrow(exe);
  if (!process_) return;
  // Nobody looks at its modules before it has loaded its library and says so.
  const std::wstring name = L"dummy_process_ready_" + std::to_wstring(id_);
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  EXPECT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0) << Narrow(exe) << " did not get ready";
  CloseHandle(ready);
}

DummyProcess::~DummyProcess() {
  if (!process_) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, 5000);
  CloseHandle(process_);
}

bool DummyProcess::Ended(DWORD milliseconds, DWORD* exitCode) const {
  if (!process_ || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) return false;
  if (exitCode) GetExitCodeProcess(process_, exitCode);
  return true;
}

Outcome CaptureOperation(const std::function<void(ServiceControl&)>& operation) {
  return Capture([&] {
    ServiceControl control;
    operation(control);
  });
}

void BrackenRun::SetUp() {
  ASSERT_TRUE(CopyFileW(BesideTests(L"Bracken.exe").c_str(), (dir / L"Bracken.exe").c_str(), FALSE));
  WriteBytes(dir / L"debuglog.cfg", "");
}

RunResult BrackenRun::Bracken(const std::wstring& arguments) {
  return testing_support::Run(dir / L"Bracken.exe", arguments, dir.path());
}

std::string BrackenRun::Log() const { return LogRecordsIn(dir.path()); }

}  // namespace testing_support::bracken_test
