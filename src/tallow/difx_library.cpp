#include "difx_library.h"

#include <string>

#include "build_constants.h"
#include "system_paths.h"

namespace {

template <typename Fn>
Fn Entry(const UniqueLibrary& module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module.get(), name)));
}

}  // namespace

DifxLibrary DifxLibrary::Load() {
  DifxLibrary library;
  std::wstring path;
  if (!ExecutablePath(path)) return library;
  library.module_.reset(LoadLibraryW(Join(FolderOf(path), kBuild.difxLibrary).c_str()));
  if (!library) return library;
  library.preinstall = Entry<DriverPackagePreinstallFn>(library.module_, "DriverPackagePreinstallW");
  library.uninstall = Entry<DriverPackageUninstallFn>(library.module_, "DriverPackageUninstallW");
  library.getPath = Entry<DriverPackageGetPathFn>(library.module_, "DriverPackageGetPathW");
  return library;
}
