// Test double: a program that logs like the tools do. Every argument is logged as one
// record "probe <argument>"; "/long" logs a text longer than a record can hold; "/hold"
// logs nothing and waits, up to a minute, until the event "log_probe_release" is set;
// "/throw" lets std::bad_alloc reach the runtime, its standard error joined to its output.
// A first argument "/fail=<what>" makes one system call answer as Wine cannot be made to,
// for the whole run, from before the log is set up (see kFailures).
// Exits 0 when LogPrintf left every last-error code as it was, 3 otherwise, 4 for an
// unknown "/fail=".
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "debuglog.h"
#include "import_patch.h"
#include "strtools.h"

namespace {

ImportPatch* g_patch = nullptr;

bool IsLogFolder(const wchar_t* path) { return std::wstring_view(path).ends_with(L"\\log"); }

// The log folder ("...\log") and the executable's folder cannot be opened.
HANDLE WINAPI NoLogFolder(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
  if (IsLogFolder(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return g_patch->Original<decltype(&CreateFileW)>()(path, access, share, security, disposition, flags, templateFile);
}
HANDLE WINAPI NoModuleFolder(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                             DWORD flags, HANDLE templateFile) {
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) && !IsLogFolder(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return g_patch->Original<decltype(&CreateFileW)>()(path, access, share, security, disposition, flags, templateFile);
}
// The log folder is made but its attributes cannot be read.
DWORD WINAPI NoLogAttributes(LPCWSTR path) {
  if (IsLogFolder(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  return g_patch->Original<decltype(&GetFileAttributesW)>()(path);
}
// What an opened folder says of itself: nothing, not a folder, or a reparse point.
BOOL WINAPI NoInformation(HANDLE, LPBY_HANDLE_FILE_INFORMATION) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
template <DWORD kAdd, DWORD kRemove>
BOOL WINAPI AlteredInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL read = g_patch->Original<decltype(&GetFileInformationByHandle)>()(file, info);
  info->dwFileAttributes = (info->dwFileAttributes | kAdd) & ~kRemove;
  return read;
}
DWORD WINAPI NoFinalPath(HANDLE, LPWSTR, DWORD, DWORD) {
  SetLastError(ERROR_PATH_NOT_FOUND);
  return 0;
}
tm* __cdecl NoLocalTime(const time_t*) { return nullptr; }

struct Failure {
  const wchar_t* name;
  const char* dll;
  const char* function;
  const void* replacement;
};
// The runtime's localtime: the 32-bit one in the i386 build, the 64-bit one in x86-64's.
const Failure kFailures[] = {
    {L"folder", "kernel32.dll", "CreateFileW", reinterpret_cast<const void*>(&NoLogFolder)},
    {L"module", "kernel32.dll", "CreateFileW", reinterpret_cast<const void*>(&NoModuleFolder)},
    {L"attributes", "kernel32.dll", "GetFileAttributesW", reinterpret_cast<const void*>(&NoLogAttributes)},
    {L"information", "kernel32.dll", "GetFileInformationByHandle", reinterpret_cast<const void*>(&NoInformation)},
    {L"file", "kernel32.dll", "GetFileInformationByHandle",
     reinterpret_cast<const void*>(&AlteredInformation<0, FILE_ATTRIBUTE_DIRECTORY>)},
    {L"reparse", "kernel32.dll", "GetFileInformationByHandle",
     reinterpret_cast<const void*>(&AlteredInformation<FILE_ATTRIBUTE_REPARSE_POINT, 0>)},
    {L"finalpath", "kernel32.dll", "GetFinalPathNameByHandleW", reinterpret_cast<const void*>(&NoFinalPath)},
    {L"time", "msvcrt.dll", sizeof(void*) == 8 ? "_localtime64" : "localtime",
     reinterpret_cast<const void*>(&NoLocalTime)},
};

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  CComStrTools tools;
  int first = 1;
  std::unique_ptr<ImportPatch> patch;
  if (argc > 1 && std::wcsncmp(argv[1], L"/fail=", 6) == 0) {
    for (const Failure& failure : kFailures) {
      if (std::wcscmp(argv[1] + 6, failure.name) == 0) {
        patch = std::make_unique<ImportPatch>(failure.dll, failure.function, failure.replacement);
      }
    }
    if (!patch) return 4;
    g_patch = patch.get();
    first = 2;
  }
  int result = 0;
  for (int i = first; i < argc; ++i) {
    const DWORD code = 0xE0000200u + static_cast<DWORD>(i);
    SetLastError(code);
    if (std::wcscmp(argv[i], L"/hold") == 0) {
      if (const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, L"log_probe_release")) {
        WaitForSingleObject(release, 60000);
        CloseHandle(release);
      }
      SetLastError(code);
    } else if (std::wcscmp(argv[i], L"/throw") == 0) {
      _dup2(_fileno(stdout), _fileno(stderr));
      throw std::bad_alloc();
    } else if (std::wcscmp(argv[i], L"/long") == 0) {
      LogPrintf("%s", std::string(2000, 'x').c_str());
    } else {
      LogPrintf("probe %d%% %s\n", i, tools.ToNarrow(argv[i]));
    }
    if (GetLastError() != code) result = 3;
  }
  return result;
}
