// Writes text values under keys of one registry root, in the registry view of this
// process, and the values Apple's support libraries look for.
#pragma once

#include <windows.h>

#include "unique_handle.h"

class CComRegKey {
 public:
  // The root becomes the current key; nothing is opened.
  explicit CComRegKey(HKEY root);
  CComRegKey(const CComRegKey&) = delete;
  CComRegKey& operator=(const CComRegKey&) = delete;

  // Nonzero selects the Program Files (x86) folder names.
  void SetWow64(int wow64);
  // Creates or opens the subkey of `parent` with full access; on success it becomes the
  // current key (the one it replaces is closed). On failure the current key stays.
  bool CreateKey(HKEY parent, const wchar_t* subKey);
  // A REG_SZ value of the current key, its terminator stored.
  bool WriteString(const wchar_t* valueName, const wchar_t* text) const;
  // Closes the current key, if any, and clears it.
  void CloseKey();
  // The nine values of Apple Application Support and Apple Mobile Device Support.
  void WriteAppleSupportKeys();

  HKEY Current() const { return created_ ? created_.get() : root_; }

 private:
  HKEY root_;
  RegistryKey created_;
  int wow64_ = 0;
};
