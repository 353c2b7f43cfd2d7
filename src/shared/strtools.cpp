#include "strtools.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string_view>

CComStrTools::~CComStrTools() { Release(); }

void CComStrTools::Release() {
  narrow_.reset();
  wide_.reset();
}

const char* CComStrTools::ToNarrow(const wchar_t* text) {
  Release();
  const int length = text ? static_cast<int>(std::wcslen(text)) : 0;
  const int needed = length ? WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr) : 0;
  narrow_ = std::make_unique<char[]>(static_cast<size_t>(needed) + 1);
  if (needed) WideCharToMultiByte(CP_ACP, 0, text, length, narrow_.get(), needed, nullptr, nullptr);
  narrow_[needed] = '\0';
  return narrow_.get();
}

const wchar_t* CComStrTools::ToWide(const char* text) {
  Release();
  const int length = text ? static_cast<int>(std::strlen(text)) : 0;
  const int needed = length ? MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0) : 0;
  wide_ = std::make_unique<wchar_t[]>(static_cast<size_t>(needed) + 1);
  if (needed) MultiByteToWideChar(CP_ACP, 0, text, length, wide_.get(), needed);
  wide_[needed] = L'\0';
  return wide_.get();
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiLetter(a[i]) != LowerAsciiLetter(b[i])) return false;
  }
  return true;
}

void CopyBounded(wchar_t* destination, size_t capacity, std::wstring_view text) {
  if (capacity == 0) return;
  const size_t length = text.size() < capacity ? text.size() : capacity - 1;
  text.copy(destination, length);
  destination[length] = L'\0';
}
