// Conversion between wide (UTF-16) text and narrow text in the ANSI code page.
#pragma once

#include <memory>
#include <string>
#include <string_view>

// Owns the result of its last conversion: a returned pointer stays valid until the next
// conversion on the same object or the object's destruction.
class CComStrTools {
 public:
  CComStrTools() = default;
  virtual ~CComStrTools();
  CComStrTools(const CComStrTools&) = delete;
  CComStrTools& operator=(const CComStrTools&) = delete;

  // Wide to narrow, code page CP_ACP; characters without a narrow form become the
  // system's default character. A null text converts like an empty one.
  const char* ToNarrow(const wchar_t* text);
  // Narrow (CP_ACP) to wide.
  const wchar_t* ToWide(const char* text);
  // Frees both buffers.
  void Release();

 private:
  std::unique_ptr<char[]> narrow_;
  std::unique_ptr<wchar_t[]> wide_;
};

// The letters A to Z in lower case; every other character as it is.
constexpr wchar_t LowerAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Copies as much of `text` as fits into `destination` (capacity characters with the
// terminator) and terminates it.
void CopyBounded(wchar_t* destination, size_t capacity, std::wstring_view text);

// Whole-text comparison that folds only the letters A to Z.
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);
