// The driver-install library: loaded at run time from the tool's own folder, never linked.
#pragma once

#include <windows.h>

#include "unique_handle.h"

// Results the callers tell apart.
inline constexpr DWORD kPackageAdded = ERROR_SUCCESS;
inline constexpr DWORD kPreinstallInfMissing = ERROR_FILE_NOT_FOUND;
inline constexpr DWORD kPackageInStore = ERROR_ALREADY_EXISTS;

inline constexpr DWORD kPreinstallFlags = 0;
inline constexpr DWORD kDriverPackageForce = 0x4;
inline constexpr DWORD kDriverPackageDeleteFiles = 0x20;
inline constexpr DWORD kUninstallFlags = kDriverPackageDeleteFiles | kDriverPackageForce;

using DriverPackagePreinstallFn = DWORD(WINAPI*)(PCWSTR infPath, DWORD flags);
using DriverPackageGetPathFn = DWORD(WINAPI*)(PCWSTR infPath, PWSTR storeInfPath, DWORD* capacity);
using DriverPackageUninstallFn = DWORD(WINAPI*)(PCWSTR storeInfPath, DWORD flags, const void* installerInfo,
                                                BOOL* needReboot);

// Loads the library from the executable's folder (up to and including the last backslash
// of its path) under the build's file name. Its own imports come from the system folder
// only. Empty, with the reason in the last-error code, when it cannot be loaded; a path of
// the executable that may have been cut counts as such.
UniqueLibrary LoadDifxLibrary();

// An entry point looked up by its narrow name, or null.
template <typename Fn>
Fn DifxEntry(const UniqueLibrary& library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library.get(), name)));
}
