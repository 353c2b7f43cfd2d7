#include "system_fakes.h"

#include <setupapi.h>

#include <cwchar>
#include <string>

#include "import_patch.h"

namespace testing_support {

namespace {

const wchar_t* g_systemDirectory = nullptr;
const ImportPatch* g_destruction = nullptr;
const ImportPatch* g_properties = nullptr;
const ImportPatch* g_loadLibrary = nullptr;
std::wstring g_refusedLibrary;

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (!g_systemDirectory) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
  }
  const size_t length = wcslen(g_systemDirectory);
  if (length >= size) return static_cast<UINT>(length + 1);
  wcscpy(buffer, g_systemDirectory);
  return static_cast<UINT>(length);
}

BOOL WINAPI DestroyThenFail(HDEVINFO set) {
  g_destruction->Original<decltype(&SetupDiDestroyDeviceInfoList)>()(set);
  SetLastError(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  return FALSE;
}

BOOL WINAPI WithoutHardwareIds(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                               DWORD size, PDWORD required) {
  if (property == SPDRP_HARDWAREID) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  return g_properties->Original<decltype(&SetupDiGetDeviceRegistryPropertyW)>()(set, device, property, type, buffer,
                                                                                size, required);
}

HMODULE WINAPI RefusingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  const std::wstring text = path;
  const std::wstring name = L"\\" + g_refusedLibrary;
  if (text.size() >= name.size() && _wcsicmp(text.c_str() + text.size() - name.size(), name.c_str()) == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return g_loadLibrary->Original<decltype(&LoadLibraryExW)>()(path, file, flags);
}

}  // namespace

FakeSystemDirectory::FakeSystemDirectory(const wchar_t* directory)
    : patch_("kernel32.dll", "GetSystemDirectoryW", reinterpret_cast<const void*>(&FakeGetSystemDirectoryW)) {
  Set(directory);
}

FakeSystemDirectory::~FakeSystemDirectory() { g_systemDirectory = nullptr; }

void FakeSystemDirectory::Set(const wchar_t* directory) { g_systemDirectory = directory; }

FailingSetDestruction::FailingSetDestruction()
    : patch_("setupapi.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<const void*>(&DestroyThenFail)) {
  g_destruction = &patch_;
}

FailingSetDestruction::~FailingSetDestruction() { g_destruction = nullptr; }

RefusedLibrary::RefusedLibrary(const wchar_t* name)
    : patch_("kernel32.dll", "LoadLibraryExW", reinterpret_cast<const void*>(&RefusingLoadLibraryExW)) {
  g_loadLibrary = &patch_;
  Set(name);
}

RefusedLibrary::~RefusedLibrary() { g_loadLibrary = nullptr; }

void RefusedLibrary::Set(const wchar_t* name) { g_refusedLibrary = name; }

UnreadableHardwareIds::UnreadableHardwareIds()
    : patch_("setupapi.dll", "SetupDiGetDeviceRegistryPropertyW", reinterpret_cast<const void*>(&WithoutHardwareIds)) {
  g_properties = &patch_;
}

UnreadableHardwareIds::~UnreadableHardwareIds() { g_properties = nullptr; }

}  // namespace testing_support
