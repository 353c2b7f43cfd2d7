// What the driver-tool tests share: the fixed package locations of this build and a
// fixture that runs a copy of Tallow.exe from a scratch folder.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace tallow_test {

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

using testing_support::Narrow;

// The three lines every run with an argument starts with.
inline std::string PathLines() {
  return "net inf path : " + Narrow(kNetInf) + " \r\ndrv inf path : " + Narrow(kUsbInf) + " \r\ninf sec : " +
         kSection + " \r\n";
}

class TallowRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(testing_support::BesideTests(L"Tallow.exe").c_str(), (dir / L"Tallow.exe").c_str(), FALSE));
  }
  testing_support::RunResult Tallow(const std::wstring& arguments) {
    return testing_support::Run(dir / L"Tallow.exe", arguments, dir.path());
  }

  testing_support::ScratchDir dir{testing_support::CurrentTestName()};
};

}  // namespace tallow_test
