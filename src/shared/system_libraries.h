// Where the tools take their libraries from. They run elevated, often from a folder that
// anyone can write to, so no library beside them may be loaded in place of the system's.
#pragma once

#include <span>
#include <vector>

#include "unique_handle.h"

// Restricts the library search of this process to the system folder; where the system
// lacks that call, at least takes the current folder out of the search. The first thing
// each tool does, before any library is loaded on demand.
void RestrictLibrarySearch();

// The system library of that file name, loaded by its full path in the system folder.
// Empty, with the reason in the last-error code, when it cannot be loaded.
UniqueLibrary LoadSystemLibrary(const wchar_t* name);

// The function that `module` exports as `name`, as a pointer of type Fn; null where it
// exports none. The address passes through void (*)(), to which the language lets any
// function pointer be cast and back, and which g++ takes from any function type unwarned.
template <typename Fn>
Fn ExportedFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The system libraries that one run calls into, loaded before it starts and held while it
// runs. Their calls are bound at first use; loading them first means that first use finds
// them already in place, and that a library that cannot be loaded is reported instead of
// ending the process.
class SystemLibraries {
 public:
  // Loads each in turn. At the first that cannot be loaded, prints and logs one line that
  // names it with the error code, and gives false.
  bool Load(std::span<const wchar_t* const> names);

 private:
  std::vector<UniqueLibrary> loaded_;
};
