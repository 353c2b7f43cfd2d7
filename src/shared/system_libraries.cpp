#include "system_libraries.h"

#include <span>
#include <string>
#include <utility>

#include "console.h"
#include "strtools.h"
#include "system_paths.h"
#include "unique_handle.h"

namespace {

// How system libraries are loaded by their full path. Where the search could be restricted
// to the system folder, their own imports follow it. Where it could not (Windows 7 without
// its library-search update), the altered search order looks for their imports in the
// folder of the library itself, the system folder, before the executable's folder.
DWORD g_systemLoadFlags = LOAD_WITH_ALTERED_SEARCH_PATH;

}  // namespace

void RestrictLibrarySearch() {
  // Looked up at run time: Windows 7 has it only with its library-search update.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto setDefaultDirectories = ExportedFunction<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories");
  if (setDefaultDirectories && setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    g_systemLoadFlags = 0;
    return;
  }
  g_systemLoadFlags = LOAD_WITH_ALTERED_SEARCH_PATH;
  // Its result is not judged: where even this fails, nothing more can be done.
  SetDllDirectoryW(L"");
}

UniqueLibrary LoadSystemLibrary(const wchar_t* name) {
  const std::wstring folder = SystemDirectory();
  if (folder.empty()) return {};
  return UniqueLibrary(LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, g_systemLoadFlags));
}

bool SystemLibraries::Load(std::span<const wchar_t* const> names) {
  for (const wchar_t* name : names) {
    UniqueLibrary library = LoadSystemLibrary(name);
    if (!library) {
      CComStrTools tools;
      EchoText(tools, TOOLS_TWIN("LoadLibrary %s failed (%ld)\n"), name, LastErrorCode());
      return false;
    }
    loaded_.push_back(std::move(library));
  }
  return true;
}
