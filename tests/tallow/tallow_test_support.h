// What the driver-tool tests share: the fixed package locations of this build and a
// fixture that runs a copy of Tallow.exe from a scratch folder.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace testing_support::tallow_test {

inline const std::wstring kPackages = L"C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\";
#if defined(_WIN64)
inline const std::wstring kUsbInf = kPackages + L"Drivers\\usbaapl64.inf";
inline const std::wstring kNetInf = kPackages + L"NetDrivers\\netaapl64.inf";
inline const std::string kSection = "Apple.NTamd64";
#else
inline const std::wstring kUsbInf = kPackages + L"Drivers\\usbaapl.inf";
inline const std::wstring kNetInf = kPackages + L"NetDrivers\\netaapl.inf";
inline const std::string kSection = "Apple";
#endif

// The three lines every run with an argument starts with.
inline std::string PathLines() {
  return "net inf path : " + Narrow(kNetInf) + " \r\ndrv inf path : " + Narrow(kUsbInf) + " \r\ninf sec : " + kSection +
         " \r\n";
}

// Wine takes a library from beside a program only when told to prefer native libraries of
// that name (Windows does so for every name outside its KnownDLLs). This tells it so for
// the runs of Tallow.exe, for as long as the object lives.
class NativeFirst {
 public:
  explicit NativeFirst(std::initializer_list<const wchar_t*> names) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    for (const wchar_t* name : names) {
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"), sizeof L"native,builtin");
    }
    RegCloseKey(key);
  }
  ~NativeFirst() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Tallow.exe"); }
  NativeFirst(const NativeFirst&) = delete;
  NativeFirst& operator=(const NativeFirst&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\Tallow.exe\\DllOverrides";
};

class TallowRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(BesideTests(L"Tallow.exe").c_str(), (dir / L"Tallow.exe").c_str(), FALSE));
  }
  RunResult Tallow(const std::wstring& arguments) {
    return testing_support::Run(dir / L"Tallow.exe", arguments, dir.path());
  }
  // Puts the planted test library beside the tool under a system library's name.
  void Plant(const std::wstring& name) {
    ASSERT_TRUE(CopyFileW(BesideTests(L"planted_library.dll").c_str(), (dir / name).c_str(), FALSE));
  }
  bool Loaded(const std::wstring& name) { return FileExists(dir / (name + L".loaded")); }

  ScratchDir dir{CurrentTestName()};
};

}  // namespace testing_support::tallow_test
