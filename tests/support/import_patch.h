// Replaces one import of the test executable for the lifetime of the object, so the code
// under test (linked into the executable) calls the replacement instead of the system.
#pragma once

#include <vector>

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
