// Test double for the driver-install library. It keeps a small driver store in the prefix
// (C:\difxstore\store, one copy of each INF by file name), journals every call with its
// arguments to C:\difxstore\journal.txt, and answers as a test scripts it in
// C:\difxstore\script.txt: lines "<call> <package> <result> <last error>", where call is
// preinstall, getpath or uninstall and package the INF's file name without extension. A
// line "uninstall <package> reboot" has that removal report that a restart is needed to
// finish it, whether it acts as it would unscripted or fails as scripted (the flag of a
// failed removal means nothing, and a caller must not read it). A copy planted under the
// name of the device-update library (newdev.dll) in a prefix's system folder answers its
// call too: the update succeeds, as Wine's own does, and a line "update <package> reboot"
// has it report that a restart is needed to finish it.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

const std::wstring kRoot = L"C:\\difxstore\\";
const std::wstring kStore = kRoot + L"store\\";

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
  return narrow;
}

std::wstring FileName(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

std::wstring Package(const wchar_t* path) {
  std::wstring name = FileName(path);
  if (const size_t dot = name.rfind(L'.'); dot != std::wstring::npos) name.resize(dot);
  for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
  return name;
}

void Journal(const std::string& line) {
  CreateDirectoryW(kRoot.c_str(), nullptr);
  if (FILE* file = _wfopen((kRoot + L"journal.txt").c_str(), L"ab")) {
    fprintf(file, "%s\n", line.c_str());
    fclose(file);
  }
}

// The words after the call and the package of each script line for this call and package.
std::vector<std::string> ScriptFor(const char* call, const wchar_t* infPath) {
  std::vector<std::string> found;
  FILE* file = _wfopen((kRoot + L"script.txt").c_str(), L"rb");
  if (!file) return found;
  const std::string package = Narrow(Package(infPath));
  char line[256];
  while (fgets(line, sizeof line, file)) {
    char scriptedCall[32] = {};
    char scriptedPackage[64] = {};
    int rest = 0;
    if (sscanf(line, "%31s %63s %n", scriptedCall, scriptedPackage, &rest) == 2 && package == scriptedPackage &&
        std::string(call) == scriptedCall) {
      found.emplace_back(line + rest);
    }
  }
  fclose(file);
  return found;
}

// The scripted answer for this call and package, if there is one.
bool Scripted(const char* call, const wchar_t* infPath, DWORD* result) {
  for (const std::string& words : ScriptFor(call, infPath)) {
    char code[32] = {};
    char lastError[32] = {};
    if (sscanf(words.c_str(), "%31s %31s", code, lastError) == 2) {
      *result = static_cast<DWORD>(std::strtoul(code, nullptr, 0));
      SetLastError(static_cast<DWORD>(std::strtoul(lastError, nullptr, 0)));
      return true;
    }
  }
  return false;
}

DWORD Answer(DWORD code) {
  SetLastError(code);
  return code;
}

// Whether the script has this call for this package report that a restart is needed.
bool RestartScripted(const char* call, const wchar_t* infPath) {
  for (const std::string& words : ScriptFor(call, infPath)) {
    if (words.starts_with("reboot")) return true;
  }
  return false;
}

}  // namespace

#ifndef DIFX_NO_PREINSTALL
extern "C" __declspec(dllexport) DWORD WINAPI DriverPackagePreinstallW(PCWSTR infPath, DWORD flags) {
  Journal("DriverPackagePreinstallW " + Narrow(infPath) + " " + std::to_string(flags));
  DWORD scripted = 0;
  if (Scripted("preinstall", infPath, &scripted)) return scripted;
  if (GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) return Answer(ERROR_FILE_NOT_FOUND);
  const std::wstring stored = kStore + FileName(infPath);
  if (GetFileAttributesW(stored.c_str()) != INVALID_FILE_ATTRIBUTES) return Answer(ERROR_ALREADY_EXISTS);
  CreateDirectoryW(kRoot.c_str(), nullptr);
  CreateDirectoryW(kStore.c_str(), nullptr);
  return CopyFileW(infPath, stored.c_str(), TRUE) ? ERROR_SUCCESS : Answer(GetLastError());
}
#endif

#ifndef DIFX_NO_GETPATH
extern "C" __declspec(dllexport) DWORD WINAPI DriverPackageGetPathW(PCWSTR infPath, PWSTR storePath, DWORD* capacity) {
  Journal("DriverPackageGetPathW " + Narrow(infPath) + " " + std::to_string(*capacity));
  DWORD scripted = 0;
  if (Scripted("getpath", infPath, &scripted)) return scripted;
  const std::wstring stored = kStore + FileName(infPath);
  if (GetFileAttributesW(stored.c_str()) == INVALID_FILE_ATTRIBUTES) return Answer(ERROR_FILE_NOT_FOUND);
  if (stored.size() + 1 > *capacity) return Answer(ERROR_INSUFFICIENT_BUFFER);
  wcscpy(storePath, stored.c_str());
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): on i386 size_t and DWORD have the same width.
  *capacity = static_cast<DWORD>(stored.size() + 1);
  return ERROR_SUCCESS;
}
#endif

#ifndef DIFX_NO_UNINSTALL
extern "C" __declspec(dllexport) DWORD WINAPI DriverPackageUninstallW(PCWSTR storePath, DWORD flags,
                                                                      const void* installerInfo, BOOL* needReboot) {
  Journal("DriverPackageUninstallW " + Narrow(storePath) + " " + std::to_string(flags) + " " +
          (installerInfo ? "info" : "null") + " " + (needReboot ? std::to_string(*needReboot) : "none"));
  if (needReboot && RestartScripted("uninstall", storePath)) *needReboot = TRUE;
  DWORD scripted = 0;
  if (Scripted("uninstall", storePath, &scripted)) return scripted;
  if (_wcsnicmp(storePath, kStore.c_str(), kStore.size()) != 0 || !DeleteFileW(storePath)) {
    return Answer(ERROR_FILE_NOT_FOUND);
  }
  return ERROR_SUCCESS;
}
#endif

// newdev.dll's call, for the planted copy.
extern "C" __declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardwareId,
                                                                                LPCWSTR infPath, DWORD flags,
                                                                                BOOL* reboot) {
  Journal("UpdateDriverForPlugAndPlayDevicesW " + Narrow(hardwareId) + " " + Narrow(infPath) + " " +
          std::to_string(flags));
  if (reboot) *reboot = RestartScripted("update", infPath) ? TRUE : FALSE;
  return TRUE;
}

// Like the real library, the stand-in depends on a system library that a tool does not
// load itself, so that a copy of it planted beside the tool could be taken in its place.
extern "C" __declspec(dllexport) LONG WINAPI StandinVerifyTrust(WINTRUST_DATA* data) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
}
