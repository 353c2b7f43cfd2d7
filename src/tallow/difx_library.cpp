#include "difx_library.h"

#include <string>

#include "build_constants.h"
#include "system_libraries.h"
#include "system_paths.h"
#include "unique_handle.h"

DifxLibrary DifxLibrary::Load() {
  DifxLibrary library;
  std::wstring path;
  if (!ExecutablePath(path)) return library;
  library.module_.reset(LoadLibraryW(Join(FolderOf(path), kBuild.difxLibrary).c_str()));
  if (!library) return library;
  const HMODULE module = library.module_.get();
  library.preinstall = ExportedFunction<DriverPackagePreinstallFn>(module, "DriverPackagePreinstallW");
  library.uninstall = ExportedFunction<DriverPackageUninstallFn>(module, "DriverPackageUninstallW");
  library.getPath = ExportedFunction<DriverPackageGetPathFn>(module, "DriverPackageGetPathW");
  return library;
}
