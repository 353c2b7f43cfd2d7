// What the service-tool tests share: registry fixtures in either view, real test
// services, a copy of Bracken.exe run from a scratch folder, and expected texts.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "service_control.h"
#include "test_support.h"

namespace testing_support::bracken_test {

// The keys the discovery probes, in the 64-bit view, on 64-bit Windows.
inline const std::wstring kProductKey = L"SOFTWARE\\Wow6432Node\\QNVX\\marvento";
inline const std::wstring kUninstallKey = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                                          L"{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}_is1";
inline const std::wstring kIpodKey = L"SOFTWARE\\Apple Computer, Inc.\\iPod\\AppPaths";

inline const std::wstring kSupportFolder = L"C:\\Program Files (x86)\\Common Files\\Apple\\Mobile Device Support";
inline const std::wstring kAppleServiceExe = kSupportFolder + L"\\AppleMobileDeviceService.exe";

// "GetDrvRegVal error:" and the key, as the console shows it.
std::string ProbeError(const std::wstring& subKey);
// The console lines of a discovery that finds nothing.
std::string NothingFound();

// Registry fixtures; `view` is KEY_WOW64_32KEY or KEY_WOW64_64KEY.
void SetText(REGSAM view, const std::wstring& subKey, const std::wstring& name, const std::wstring& text);
void SetBytes(REGSAM view, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              DWORD size);
// The value's raw data and type; false when it cannot be read.
bool ReadValue(REGSAM view, const std::wstring& subKey, const std::wstring& name, std::string& data,
               DWORD* type = nullptr);
void DeleteTree(REGSAM view, const std::wstring& subKey);

// The support values of Apple's two components, in the 32-bit view.
inline const std::wstring kAppleInc = L"SOFTWARE\\Apple Inc.";
inline const std::wstring kApplication = kAppleInc + L"\\Apple Application Support";
inline const std::wstring kMobile = kAppleInc + L"\\Apple Mobile Device Support";
inline const std::wstring kShared = kMobile + L"\\Shared";
// A REG_SZ value of the 32-bit view holding `text` and its terminator.
void ExpectText(const std::wstring& key, const std::wstring& name, const std::wstring& text);
bool Exists(const std::wstring& key, const std::wstring& name);
// All nine values, for the given Program Files folder.
void ExpectAllNine(const std::wstring& programFiles);

// Services. The test service reads its mode from test_service.ini beside the copy.
// `dependencies` is a double-zero-terminated list, or null.
void InstallTestService(const std::wstring& name, const std::wstring& exe, const wchar_t* dependencies = nullptr);
// Stops (ending its process if need be) and deletes the service; nothing if it is missing.
void RemoveService(const std::wstring& name);
// 0 when the service does not exist.
DWORD ServiceState(const std::wstring& name);
// The executable path the service is registered with; empty when it cannot be read.
std::wstring ServiceBinaryPath(const std::wstring& name);
bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD milliseconds);
bool StartTestService(const std::wstring& name);
// Copies test_service.exe to `exe` and writes test_service.ini beside it.
void PlaceTestService(const std::wstring& exe, const std::string& ini);

// What one in-process service operation printed and logged.
using Outcome = Captured;
Outcome CaptureOperation(const std::function<void(ServiceControl&)>& operation);

// A running process of the dummy of the same file name beside the tests (dummy_process.exe
// or the 64-bit dummy_process64.exe), copied to `exe` first unless it is that one; ended
// and closed with the object.
class DummyProcess {
 public:
  explicit DummyProcess(const std::wstring& exe, const std::wstring& arguments = L"");
  ~DummyProcess();
  DummyProcess(const DummyProcess&) = delete;
  DummyProcess& operator=(const DummyProcess&) = delete;

  DWORD id() const { return id_; }
  // Waits up to `milliseconds` for the end; true with the exit code when it ended.
  bool Ended(DWORD milliseconds, DWORD* exitCode = nullptr) const;

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// A copy of Bracken.exe in a scratch folder, with its debug log switched on.
class BrackenRun : public ::testing::Test {
 protected:
  void SetUp() override;
  RunResult Bracken(const std::wstring& arguments);
  // The records of the copy's log, time stamps removed.
  std::string Log() const;

  ScratchDir dir{CurrentTestName()};
};

}  // namespace testing_support::bracken_test
