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

// The library loaded by its full path from the executable's folder under the build's file
// name, with its three entry points looked up by their narrow names in the order
// preinstall, uninstall, get-path. Its own imports come from the system folder wherever
// the library search can be restricted (not on Windows 7 without its library-search
// update). Freed when the object goes.
class DifxLibrary {
 public:
  // Empty, with the reason in the last-error code, when the library cannot be loaded; a
  // path of the executable that may have been cut counts as such. After a load the
  // last-error code is what the three lookups left.
  static DifxLibrary Load();

  explicit operator bool() const { return static_cast<bool>(module_); }

  // Each is null when the library lacks it.
  DriverPackagePreinstallFn preinstall = nullptr;
  DriverPackageUninstallFn uninstall = nullptr;
  DriverPackageGetPathFn getPath = nullptr;

 private:
  UniqueLibrary module_;
};
