#include "app_paths.h"

#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <string>

#include "console.h"
#include "strtools.h"
#include "system_libraries.h"
#include "system_paths.h"
#include "unique_handle.h"

AppPathsRecord AppPaths;

namespace {

// Converts the registry texts for the log.
CComStrTools g_discoveryStrTools;

constexpr const wchar_t* kServiceTail64 =
    L"\\Program Files (x86)\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe";
constexpr const wchar_t* kServiceTail32 =
    L"\\Program Files\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe";

struct ProbeMessages {
  const wchar_t* valueName;
  const wchar_t* existsConsole;
  const char* existsLog;
  const wchar_t* missingConsole;
  const char* missingLog;
};

constexpr ProbeMessages kProbeMessages[] = {
    {L"InstallPath", TOOLS_TWIN("marvento Setup Dir Exist !\n App Path: %s \n"),
     TOOLS_TWIN("marvento Setup Dir error or not exist !\n App Path: %s \n")},
    {L"InstallLocation", TOOLS_TWIN("marvento UnInstall Dir Exist !\n App Path: %s \n"),
     TOOLS_TWIN("marvento UnInstall Dir error or not exist !\n App Path: %s \n")},
    {L"InstallDir", TOOLS_TWIN("iPod Dir error exist !\n App Path: %s \n"),
     TOOLS_TWIN("iPod Dir error or not exist !\n App Path: %s \n")},
};

}  // namespace

bool IsWow64() {
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = GetModuleHandleW(L"kernel32");
  const auto isWow64Process = kernel ? ExportedFunction<IsWow64ProcessFunction>(kernel, "IsWow64Process") : nullptr;
  if (!isWow64Process) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

// The 64-bit view whatever the tool's bitness: the product's keys lie there.
constexpr REGSAM kProbeAccess = KEY_READ | KEY_WOW64_64KEY;
static_assert(kProbeAccess == 0x20119);

bool GetDrvRegVal(const wchar_t* subKey, const wchar_t* valueName, wchar_t* path) {
  RegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, kProbeAccess, key.put()) != ERROR_SUCCESS) {
    EchoText(g_discoveryStrTools, TOOLS_TWIN("GetDrvRegVal error:\n App Reg Path : %s \n"), subKey);
    return false;
  }

  // Only a text names a folder: an expandable one is expanded (RRF_RT_REG_SZ takes
  // REG_EXPAND_SZ and expands it), any other type counts as a value that names none. The
  // text comes terminated, into room for one character more than a path holds, so that a
  // text too long for the path, stored with or without its terminator, shows as such.
  wchar_t text[kPathChars + 1] = {};
  DWORD size = sizeof text;
  if (RegGetValueW(key.get(), nullptr, valueName, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS ||
      std::wcslen(text) >= kPathChars) {
    return false;
  }

  CopyBounded(path, kPathChars, text);
  const bool exists = PathFileExistsW(path) != FALSE;
  for (const ProbeMessages& messages : kProbeMessages) {
    if (!EqualsIgnoringAsciiCase(valueName, messages.valueName)) continue;
    if (exists) {
      EchoText(g_discoveryStrTools, messages.existsConsole, messages.existsLog, path);
    } else {
      EchoText(g_discoveryStrTools, messages.missingConsole, messages.missingLog, path);
    }
    break;
  }
  return exists;
}

void InitAppPaths() {
  const std::wstring drive = SystemDrive();
  AppPaths.appleServicePath = std::make_unique<wchar_t[]>(kPathChars);
  AppPaths.wow64 = IsWow64();
  CopyBounded(AppPaths.appleServicePath.get(), kPathChars, drive + (AppPaths.wow64 ? kServiceTail64 : kServiceTail32));

  wchar_t path[kPathChars] = {};
  if (AppPaths.wow64) {
    if (!GetDrvRegVal(L"SOFTWARE\\Wow6432Node\\QNVX\\marvento", L"InstallPath", path)) {
      GetDrvRegVal(L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                   L"{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}_is1",
                   L"InstallLocation", path);
    }
  } else {
    if (!GetDrvRegVal(L"SOFTWARE\\QNVX\\marvento", L"InstallPath", path)) {
      GetDrvRegVal(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                   L"{7B1D94E2-5C3A-4F08-9D6E-2A41C8B3F705}_is1",
                   L"InstallLocation", path);
    }
  }
  GetDrvRegVal(L"SOFTWARE\\Apple Computer, Inc.\\iPod\\AppPaths", L"InstallDir", path);
}

void FreeAppPaths() { AppPaths.appleServicePath.reset(); }
