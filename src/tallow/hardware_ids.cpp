#include "hardware_ids.h"

namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

std::wstring_view BoundedText(const wchar_t* text, size_t capacity) {
  size_t length = 0;
  while (length < capacity && text[length] != L'\0') ++length;
  return {text, length};
}

void LowerAsciiInPlace(wchar_t* text, size_t length) {
  for (size_t i = 0; i < length; ++i) text[i] = FoldAscii(text[i]);
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
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
