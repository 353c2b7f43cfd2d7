// Replaces one import of the test executable for the lifetime of the object, so the code
// under test (linked into the executable) calls the replacement instead of the system.
#pragma once

#include <functional>
#include <vector>

// Calls `visit` with the library, the name and the address slot of each import by name of
// the test executable.
void ForEachImport(const std::function<void(const char* dll, const char* function, void** slot)>& visit);

class ImportPatch {
 public:
  ImportPatch(const char* dll, const char* function, const void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // The system's own function, for replacements that forward.
  template <typename F>
  F Original() const {
    return reinterpret_cast<F>(original_);
  }

 private:
  std::vector<void**> slots_;
  void* original_ = nullptr;
};
