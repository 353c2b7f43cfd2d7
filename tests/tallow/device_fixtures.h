// Sample driver packages at this build's fixed paths and fake USB devices in Wine's
// registry, for the tests of the driver tool. Each fixture removes what it made when it
// goes out of scope, so a test leaves the prefix as it found it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cwchar>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tallow_test_support.h"
#include "test_support.h"

namespace testing_support::tallow_test {

// Text of a sample INF: a [Version] section (plus `versionLines`, such as a CatalogFile
// line), then the model section `section` with the given lines, written as they stand
// ("Apple Mobile Device USB Driver = Install, USB\VID_05AC&PID_1290").
inline std::string SampleInf(const std::vector<std::string>& modelLines, const std::string& section = kSection,
                             const std::string& versionLines = "") {
  std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n"
                     "ClassGuid={36FC9E60-C465-11CF-8056-444553540000}\r\nProvider=%Maker%\r\n" +
                     versionLines + "\r\n[Manufacturer]\r\n%Maker%=Apple,NTamd64\r\n\r\n[" + section + "]\r\n";
  for (const std::string& line : modelLines) text += line + "\r\n";
  text += "\r\n[Install]\r\n\r\n[Strings]\r\nMaker=\"Sample Maker\"\r\n";
  return text;
}

// The folder of the Windows INF files, where packages are staged.
inline const std::wstring kWindowsInfFolder = L"C:\\windows\\inf\\";

// An INF file at one of the fixed package paths (kUsbInf, kNetInf), with its folders.
// Removing it undoes the staging of the package and removes the files and folders it made.
class SamplePackage {
 public:
  SamplePackage(std::wstring infPath, std::string text) : path_(std::move(infPath)), text_(std::move(text)) {
    for (size_t slash = path_.find(L'\\', 3); slash != std::wstring::npos; slash = path_.find(L'\\', slash + 1)) {
      const std::wstring folder = path_.substr(0, slash);
      if (CreateDirectoryW(folder.c_str(), nullptr)) madeFolders_.push_back(folder);
    }
    WriteBytes(path_, text_);
  }
  ~SamplePackage() {
    Unstage();
    DeleteFileW(path_.c_str());
    for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder)
      RemoveDirectoryW(folder->c_str());
  }
  SamplePackage(const SamplePackage&) = delete;
  SamplePackage& operator=(const SamplePackage&) = delete;

  const std::wstring& path() const { return path_; }

  // Whether the package is staged: a copy of the INF, byte for byte, in the Windows INF
  // folder (under any name: Windows calls it OEMnn.inf), and either the precompiled .pnf
  // that staging writes beside a copy it makes, or the package in the system's driver store
  // (Windows and Wine 10 keep one; Wine 10 writes no .pnf where an identical INF was there
  // already, as the i386 entry's own copy is).
  bool IsStaged() const {
    const std::vector<std::wstring> copies = CopiesInInfFolder();
    for (const std::wstring& copy : copies) {
      if (FileExists(PnfOf(copy))) return true;
    }
    return !copies.empty() && InDriverStore();
  }

  // Undoes the staging as the system does (SetupUninstallOEMInfW: the INF, its .pnf and, in
  // Wine 10, the package in the driver store), then removes what is left in the Windows INF
  // folder: the i386 entry's own copy and the .pnf that Wine 8 leaves. Deleting only the
  // copy would leave Wine 10's driver store holding the package, and the next staging of
  // the same INF would then fail with 2.
  void Unstage() const {
    std::vector<std::wstring> copies = CopiesInInfFolder();
    copies.push_back(path_.substr(path_.rfind(L'\\') + 1));
    for (const std::wstring& copy : copies) {
      SetupUninstallOEMInfW(copy.c_str(), SUOI_FORCEDELETE, nullptr);
      DeleteFileW((kWindowsInfFolder + copy).c_str());
      DeleteFileW(PnfOf(copy).c_str());
    }
  }

 private:
  static std::wstring PnfOf(const std::wstring& infName) {
    return kWindowsInfFolder + infName.substr(0, infName.rfind(L'.')) + L".pnf";
  }
  static std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
  }
  // Names of the INF files in the Windows INF folder that hold the package's INF.
  std::vector<std::wstring> CopiesInInfFolder() const {
    std::vector<std::wstring> copies;
    for (const std::wstring& name : ListFiles(kWindowsInfFolder)) {
      if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".inf") == 0 &&
          ReadBytes(kWindowsInfFolder + name) == text_) {
        copies.push_back(name);
      }
    }
    return copies;
  }
  // Whether a folder <name>_* of the driver store holds the package's INF.
  bool InDriverStore() const {
    const std::wstring name = path_.substr(path_.rfind(L'\\') + 1);
    const std::wstring repository = SystemFolder() + L"\\DriverStore\\FileRepository\\";
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((repository + name + L"_*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool held = false;
    do {
      held = ReadBytes(repository + found.cFileName + L"\\" + name) == text_;
    } while (!held && FindNextFileW(search, &found));
    FindClose(search);
    return held;
  }

  std::wstring path_;
  std::string text_;
  std::vector<std::wstring> madeFolders_;
};

// The registry key of the USB devices that SetupAPI enumerates.
inline const std::wstring kUsbEnumKey = L"System\\CurrentControlSet\\Enum\\USB";

// A fake USB device: HKLM\System\CurrentControlSet\Enum\USB\<device>\<instance> with the
// values that SetupAPI reads back as the device's properties. A property left unset is
// not written at all. SetupAPI enumerates the devices in the order of their key names
// (device, then instance), which gives each its index.
class FakeUsbDevice {
 public:
  struct Properties {
    std::vector<std::wstring> hardwareIds;
    std::wstring classGuid = L"{36FC9E60-C465-11CF-8056-444553540000}";  // required to be enumerated
    std::optional<std::wstring> className;
    std::optional<std::wstring> mfg;
    std::optional<std::wstring> deviceDesc;
    std::optional<std::wstring> friendlyName;
    std::optional<std::wstring> driver;
    std::optional<DWORD> configFlags;
  };

  FakeUsbDevice(std::wstring device, std::wstring instance, const Properties& properties)
      : deviceKey_(kUsbEnumKey + L"\\" + std::move(device)), key_(deviceKey_ + L"\\" + std::move(instance)) {
    // Keys that did not exist before are removed again, when no other device uses them.
    madeEnumKey_ = CreateKey(kUsbEnumKey, nullptr);
    madeDeviceKey_ = CreateKey(deviceKey_, nullptr);
    CreateKey(key_, &instance_);

    std::wstring list;
    for (const std::wstring& id : properties.hardwareIds) list.append(id).push_back(L'\0');
    list.push_back(L'\0');
    SetRaw(L"HardwareID", REG_MULTI_SZ, list.data(), static_cast<DWORD>(list.size() * sizeof(wchar_t)));
    SetText(L"ClassGUID", properties.classGuid);
    if (properties.className) SetText(L"Class", *properties.className);
    if (properties.mfg) SetText(L"Mfg", *properties.mfg);
    if (properties.deviceDesc) SetText(L"DeviceDesc", *properties.deviceDesc);
    if (properties.friendlyName) SetText(L"FriendlyName", *properties.friendlyName);
    if (properties.driver) SetText(L"Driver", *properties.driver);
    if (properties.configFlags) SetRaw(L"ConfigFlags", REG_DWORD, &*properties.configFlags, sizeof(DWORD));
  }
  ~FakeUsbDevice() {
    if (instance_) RegCloseKey(instance_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str());
    if (madeDeviceKey_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, deviceKey_.c_str());
    if (madeEnumKey_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUsbEnumKey.c_str());  // fails while others use it
  }
  FakeUsbDevice(const FakeUsbDevice&) = delete;
  FakeUsbDevice& operator=(const FakeUsbDevice&) = delete;

  // Writes a value as raw bytes, for data that a well-formed device would not have.
  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(instance_, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  void SetText(const wchar_t* name, const std::wstring& text) {
    SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

  // The device's configuration flags as they stand in the registry now.
  std::optional<DWORD> ConfigFlags() const {
    DWORD flags = 0;
    DWORD size = sizeof flags;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key_.c_str(), L"ConfigFlags", RRF_RT_REG_DWORD, nullptr, &flags, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return flags;
  }

 private:
  // Creates (or opens) a key under HKLM; true when it is new. Keeps it open into `open`.
  static bool CreateKey(const std::wstring& path, HKEY* open) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    if (open) {
      *open = key;
    } else if (key) {
      RegCloseKey(key);
    }
    return disposition == REG_CREATED_NEW_KEY;
  }

  std::wstring deviceKey_;
  std::wstring key_;
  HKEY instance_ = nullptr;
  bool madeEnumKey_ = false;
  bool madeDeviceKey_ = false;
};

// The name, class and maker of a device bound to the right driver.
inline constexpr const wchar_t* kAppleDriverName = L"Apple Mobile Device USB Driver";
inline constexpr const wchar_t* kAppleMaker = L"Apple, Inc.";

// A device with the given hardware IDs that is bound to the right driver.
inline FakeUsbDevice::Properties BoundAppleDevice(std::vector<std::wstring> hardwareIds, DWORD configFlags = 0) {
  FakeUsbDevice::Properties properties;
  properties.hardwareIds = std::move(hardwareIds);
  properties.className = L"USB";
  properties.mfg = kAppleMaker;
  properties.deviceDesc = kAppleDriverName;
  properties.friendlyName = kAppleDriverName;
  properties.driver = L"{36FC9E60-C465-11CF-8056-444553540000}\\0001";
  properties.configFlags = configFlags;
  return properties;
}

}  // namespace testing_support::tallow_test
