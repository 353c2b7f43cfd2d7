// Hardware IDs as the device operations see them: the INF's ID and a device's list, both
// in fixed buffers. Every routine here stays inside the capacity it is given, whether or
// not the text ends with its terminators.
#pragma once

#include <cstddef>
#include <string_view>

#include "strtools.h"

// Characters of a text up to its terminator or the end of its buffer.
std::wstring_view BoundedText(const wchar_t* text, size_t capacity);

// Lower-cases the letters A to Z in place; every other character stays as it is.
void LowerAsciiInPlace(wchar_t* text, size_t length);

// A device's hardware-ID list: zero-terminated strings ending with an empty one. A string
// that runs into the end of the buffer ends there, and so does the list.
class HardwareIdList {
 public:
  HardwareIdList(wchar_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  // Walks the strings in order, lower-casing each in place before searching it for `id`,
  // and stops at the first that contains it; later strings are left untouched. True when
  // one does.
  bool LowerUntilContaining(std::wstring_view id);

  // The last non-empty string, the most general ID of the device; empty for an empty list.
  std::wstring_view Last() const;

 private:
  wchar_t* buffer_;
  size_t capacity_;
};
