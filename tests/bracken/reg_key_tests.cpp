// The support values that "/startsvc" writes, in the registry view of the 32-bit tool.
#include <windows.h>

#include <cwchar>
#include <map>

#include <gtest/gtest.h>

#include "bracken_test_support.h"
#include "import_patch.h"
#include "reg_key.h"
#include "system_fakes.h"
#include "test_support.h"

namespace testing_support::bracken_test {

namespace {

class SupportKeys : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    DeleteTree(KEY_WOW64_32KEY, kAppleInc);
    DeleteTree(KEY_WOW64_64KEY, kAppleInc);
  }
  static void Write(int wow64) {
    CComRegKey key(HKEY_LOCAL_MACHINE);
    key.SetWow64(wow64);
    key.WriteAppleSupportKeys();
    key.CloseKey();
  }
};

ImportPatch* g_create = nullptr;
const wchar_t* g_refusedKey = nullptr;
int g_created = 0;
int g_closed = 0;
ImportPatch* g_close = nullptr;

LSTATUS WINAPI RefusingRegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                       REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition) {
  EXPECT_EQ(parent, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(access, static_cast<REGSAM>(KEY_ALL_ACCESS));
  EXPECT_EQ(options, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
  if (g_refusedKey && wcscmp(subKey, g_refusedKey) == 0) return ERROR_ACCESS_DENIED;
  const LSTATUS status = g_create->Original<decltype(&RegCreateKeyExW)>()(parent, subKey, reserved, keyClass, options,
                                                                          access, security, key, disposition);
  if (status == ERROR_SUCCESS) ++g_created;
  return status;
}

LSTATUS WINAPI CountingRegCloseKey(HKEY key) {
  ++g_closed;
  return g_close->Original<decltype(&RegCloseKey)>()(key);
}

}  // namespace

TEST_F(SupportKeys, OnSixtyFourBitWindowsNameTheX86FoldersInTheThirtyTwoBitView) {
  Write(1);
  ExpectAllNine(L"C:\\Program Files (x86)");
  EXPECT_FALSE(Exists(kMobile, L"Keep"));
  std::string data;
  EXPECT_FALSE(ReadValue(KEY_WOW64_64KEY, kMobile, L"InstallDir", data));
  // "3.1" and its terminator: eight bytes.
  ASSERT_TRUE(ReadValue(KEY_WOW64_32KEY, kApplication, L"Version", data));
  EXPECT_EQ(data.size(), 8u);
}

TEST_F(SupportKeys, WithoutWow64NameTheNativeFolders) {
  Write(0);
  ExpectAllNine(L"C:\\Program Files");
}

TEST_F(SupportKeys, FollowTheSystemDrive) {
  FakeSystemDirectory systemDirectory(L"D:\\Windows\\system32");
  Write(0);
  ExpectText(kMobile, L"InstallDir", L"D:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\");
  Write(7);
  ExpectAllNine(L"D:\\Program Files (x86)");
  // Without a system directory the paths start at the root of the current drive.
  systemDirectory.Set(nullptr);
  Write(1);
  ExpectAllNine(L"\\Program Files (x86)");
}

TEST_F(SupportKeys, OverwriteTheirValuesAndLeaveEverythingElse) {
  SetText(KEY_WOW64_32KEY, kMobile, L"InstallDir", L"old");
  SetText(KEY_WOW64_32KEY, kMobile, L"Keep", L"mine");
  SetText(KEY_WOW64_32KEY, kShared + L"\\Deeper", L"Also", L"kept");
  SetText(KEY_WOW64_32KEY, kAppleInc + L"\\Other", L"Too", L"kept");
  Write(1);
  ExpectAllNine(L"C:\\Program Files (x86)");
  ExpectText(kMobile, L"Keep", L"mine");
  ExpectText(kShared + L"\\Deeper", L"Also", L"kept");
  ExpectText(kAppleInc + L"\\Other", L"Too", L"kept");
}

TEST_F(SupportKeys, TheValuesOfAKeyThatCannotBeMadeAreLeftOut) {
  ImportPatch create("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<const void*>(&RefusingRegCreateKeyExW));
  ImportPatch close("advapi32.dll", "RegCloseKey", reinterpret_cast<const void*>(&CountingRegCloseKey));
  g_create = &create;
  g_close = &close;
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> keys = {
      {kApplication, {L"InstallDir", L"UserVisibleVersion", L"Version"}},
      {kMobile, {L"InstallDir", L"Version"}},
      {kShared, {L"ASMapiInterfaceDLL", L"AirTrafficHostDLL", L"MobileDeviceDLL", L"iTunesMobileDeviceDLL"}},
  };
  for (const auto& refused : keys) {
    Clean();
    g_refusedKey = refused.first.c_str();
    g_created = g_closed = 0;
    Write(1);
    g_refusedKey = nullptr;
    const int created = g_created;
    const int closed = g_closed;
    for (const auto& [key, names] : keys) {
      for (const std::wstring& name : names) {
        EXPECT_EQ(Exists(key, name), key != refused.first) << Narrow(key) << " " << Narrow(name);
      }
    }
    // Every key made was closed again: the replaced one and, at CloseKey, the last.
    EXPECT_EQ(created, 2);
    EXPECT_EQ(closed, 2);
  }
}

TEST_F(SupportKeys, CreateKeyKeepsTheCurrentKeyOnFailure) {
  ImportPatch create("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<const void*>(&RefusingRegCreateKeyExW));
  g_create = &create;
  g_refusedKey = L"SOFTWARE\\Apple Inc.\\Refused";
  CComRegKey key(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(key.Current(), HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(key.CreateKey(HKEY_LOCAL_MACHINE, kApplication.c_str()));
  const HKEY made = key.Current();
  EXPECT_NE(made, HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(key.CreateKey(HKEY_LOCAL_MACHINE, g_refusedKey));
  g_refusedKey = nullptr;
  EXPECT_EQ(key.Current(), made);
  EXPECT_TRUE(key.WriteString(L"Probe", L"x"));
  ExpectText(kApplication, L"Probe", L"x");
  key.CloseKey();
  EXPECT_EQ(key.Current(), nullptr);
  key.CloseKey();
}

}  // namespace testing_support::bracken_test
