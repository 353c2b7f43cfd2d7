#include "difx_library.h"

#include <string>

#include "build_constants.h"
#include "system_paths.h"

UniqueLibrary LoadDifxLibrary() {
  std::wstring path;
  if (!ExecutablePath(path)) return UniqueLibrary();
  const size_t slash = path.rfind(L'\\');
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return UniqueLibrary(LoadLibraryW((path + kBuild.difxLibrary).c_str()));
}
