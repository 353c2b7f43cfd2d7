// Test double: a library planted beside a tool under the name of a system library. Loading
// it leaves a file "<its own path>.loaded" behind, which is how the tests see that it was
// loaded. It exports the calls of the system libraries it stands in for, so that a program
// that binds them at start-up would take it.
#include <windows.h>

#include <string>

// NOLINTNEXTLINE(misc-use-internal-linkage): the runtime's start-up code calls DllMain by name.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    const HANDLE marker = CreateFileW((std::wstring(path) + L".loaded").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}

// newdev.dll
extern "C" __declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR, LPCWSTR, DWORD, BOOL*) {
  return FALSE;
}

// wintrust.dll
extern "C" __declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID) { return ERROR_ACCESS_DENIED; }
