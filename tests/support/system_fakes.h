// Stand-ins for single system calls whose answers Wine cannot be made to give, each in place
// in the test executable's imports for as long as its object lives.
#pragma once

#include <windows.h>

#include "import_patch.h"

namespace testing_support {

// GetSystemDirectoryW answering `directory`. Null makes the call fail with
// ERROR_INVALID_FUNCTION; a directory that does not fit the caller's buffer gives the size
// it needs and leaves the buffer alone, as the system does.
class FakeSystemDirectory {
 public:
  explicit FakeSystemDirectory(const wchar_t* directory);
  ~FakeSystemDirectory();
  FakeSystemDirectory(const FakeSystemDirectory&) = delete;
  FakeSystemDirectory& operator=(const FakeSystemDirectory&) = delete;

  void Set(const wchar_t* directory);

 private:
  ImportPatch patch_;
};

// SetupDiDestroyDeviceInfoList destroying the set, then answering FALSE with
// ERROR_NO_SUCH_DEVINST (0xE000020B).
class FailingSetDestruction {
 public:
  FailingSetDestruction();
  ~FailingSetDestruction();
  FailingSetDestruction(const FailingSetDestruction&) = delete;
  FailingSetDestruction& operator=(const FailingSetDestruction&) = delete;

 private:
  ImportPatch patch_;
};

// LoadLibraryExW refusing the library of file name `name` (ERROR_MOD_NOT_FOUND) and loading
// every other.
class RefusedLibrary {
 public:
  explicit RefusedLibrary(const wchar_t* name);
  ~RefusedLibrary();
  RefusedLibrary(const RefusedLibrary&) = delete;
  RefusedLibrary& operator=(const RefusedLibrary&) = delete;

  void Set(const wchar_t* name);

 private:
  ImportPatch patch_;
};

// SetupDiGetDeviceRegistryPropertyW failing for every device's hardware IDs
// (ERROR_INVALID_DATA); every other property is the system's.
class UnreadableHardwareIds {
 public:
  UnreadableHardwareIds();
  ~UnreadableHardwareIds();
  UnreadableHardwareIds(const UnreadableHardwareIds&) = delete;
  UnreadableHardwareIds& operator=(const UnreadableHardwareIds&) = delete;

 private:
  ImportPatch patch_;
};

}  // namespace testing_support
