#include "hardware_ids.h"

#include <cstddef>
#include <string_view>

#include "strtools.h"

std::wstring_view BoundedText(const wchar_t* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != L'\0') ++length;
  return {text, length};
}

void LowerAsciiInPlace(wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) text[i] = LowerAsciiLetter(text[i]);
}

bool HardwareIdList::LowerUntilContaining(std::wstring_view id) {
  size_t position = 0;
  while (position < capacity_) {
    wchar_t* text = buffer_ + position;
    const size_t length = BoundedText(text, capacity_ - position).size();
    if (length == 0) break;
    LowerAsciiInPlace(text, length);
    if (std::wstring_view(text, length).find(id) != std::wstring_view::npos) return true;
    position += length + 1;
  }
  return false;
}

std::wstring_view HardwareIdList::Last() const {
  std::wstring_view last;
  size_t position = 0;
  while (position < capacity_) {
    const std::wstring_view text = BoundedText(buffer_ + position, capacity_ - position);
    if (text.empty()) break;
    last = text;
    position += text.size() + 1;
  }
  return last;
}
