#include "difx_library.h"

#include "build_constants.h"

std::wstring DifxLibraryPath() {
  wchar_t modulePath[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  std::wstring path = modulePath;
  const size_t slash = path.rfind(L'\\');
  path.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return path + kBuild.difxLibrary;
}
