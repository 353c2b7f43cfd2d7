// Discovery: the system drive, the wow64 flag, the path of Apple's service executable and
// what the registry says about the product's and the iPod service's folders.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

// Path buffers hold this many wide characters, the terminator included.
inline constexpr size_t kPathChars = MAX_PATH;

struct AppPathsRecord {
  bool wow64 = false;
  // kPathChars wide characters, zero-filled; empty until InitAppPaths.
  std::unique_ptr<wchar_t[]> appleServicePath;
};

// The process-wide record, filled by InitAppPaths and released by FreeAppPaths.
extern AppPathsRecord AppPaths;

void InitAppPaths();
// Safe to call when the record was never filled.
void FreeAppPaths();

// True when this 32-bit process runs on 64-bit Windows.
bool IsWow64();

// Reads a text value of HKLM (64-bit view) into `path` (kPathChars characters) and reports
// whether the folder it names exists. True only when the key opened, the value is a text
// (REG_SZ, or REG_EXPAND_SZ, expanded) that fits the buffer, and it names an existing file
// or folder.
bool GetDrvRegVal(const wchar_t* subKey, const wchar_t* valueName, wchar_t* path);
