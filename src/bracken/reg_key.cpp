#include "reg_key.h"

#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "app_paths.h"
#include "strtools.h"
#include "system_paths.h"
#include "unique_handle.h"

namespace {

constexpr const wchar_t* kApplicationSupportKey = L"SOFTWARE\\Apple Inc.\\Apple Application Support";
constexpr const wchar_t* kMobileDeviceSupportKey = L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
constexpr const wchar_t* kSharedKey = L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";

struct FolderTails {
  const wchar_t* applicationSupport;
  const wchar_t* mobileDeviceSupport;
};

constexpr FolderTails kTails32 = {L"\\Program Files\\Common Files\\Apple\\Apple Application Support\\",
                                  L"\\Program Files\\Common Files\\Apple\\Mobile Device Support\\"};
constexpr FolderTails kTails64 = {L"\\Program Files (x86)\\Common Files\\Apple\\Apple Application Support\\",
                                  L"\\Program Files (x86)\\Common Files\\Apple\\Mobile Device Support\\"};

}  // namespace

CComRegKey::CComRegKey(HKEY root) : root_(root) {}

void CComRegKey::SetWow64(int wow64) { wow64_ = wow64; }

static_assert(KEY_ALL_ACCESS == 0xF003F);

bool CComRegKey::CreateKey(HKEY parent, const wchar_t* subKey) {
  RegistryKey key;
  DWORD disposition = 0;
  if (RegCreateKeyExW(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                      &disposition) != ERROR_SUCCESS) {
    return false;
  }
  created_ = std::move(key);
  return true;
}

bool CComRegKey::WriteString(const wchar_t* valueName, const wchar_t* text) const {
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
  const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(Current(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS;
}

void CComRegKey::CloseKey() {
  created_.reset();
  root_ = nullptr;
}

void CComRegKey::WriteAppleSupportKeys() {
  const auto value = std::make_unique<wchar_t[]>(kPathChars);
  wchar_t drive[kPathChars] = {};
  CopyBounded(drive, kPathChars, SystemDrive());
  const FolderTails& tails = wow64_ ? kTails64 : kTails32;

  // Each path is composed afresh: the drive, then the tail, cut to the buffer.
  auto compose = [&](const wchar_t* folder, const wchar_t* file) {
    CopyBounded(value.get(), kPathChars, std::wstring(drive) + folder + file);
    return value.get();
  };

  // The values of a key that cannot be made are left out rather than written into the
  // key made before it.
  if (CreateKey(HKEY_LOCAL_MACHINE, kApplicationSupportKey)) {
    WriteString(L"InstallDir", compose(tails.applicationSupport, L""));
    WriteString(L"UserVisibleVersion", L"3.1");
    WriteString(L"Version", L"3.1");
  }
  if (CreateKey(HKEY_LOCAL_MACHINE, kMobileDeviceSupportKey)) {
    WriteString(L"InstallDir", compose(tails.mobileDeviceSupport, L""));
    WriteString(L"Version", L"8.0.5.6");
  }
  if (CreateKey(HKEY_LOCAL_MACHINE, kSharedKey)) {
    WriteString(L"ASMapiInterfaceDLL", compose(tails.mobileDeviceSupport, L"AppleSyncMapiInterface.dll"));
    WriteString(L"AirTrafficHostDLL", compose(tails.mobileDeviceSupport, L"AirTrafficHost.dll"));
    WriteString(L"MobileDeviceDLL", compose(tails.mobileDeviceSupport, L"MobileDevice.dll"));
    WriteString(L"iTunesMobileDeviceDLL", compose(tails.mobileDeviceSupport, L"iTunesMobileDevice.dll"));
  }
}
