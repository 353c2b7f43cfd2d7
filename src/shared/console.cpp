#include "console.h"

#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

// On a console the text goes out as UTF-16, so every character shows whatever the code
// page. Redirected output gets the ANSI code page, as the log does; a character that code
// page lacks becomes the default character and the rest of the line is kept.
void WriteWide(const std::wstring& text) {
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    fflush(stdout);
    DWORD written = 0;
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

}  // namespace

void OutW(const wchar_t* format, ...) {
  const DWORD savedError = GetLastError();
  va_list args;
  va_start(args, format);
  const int length = _vscwprintf(format, args);
  va_end(args);
  if (length > 0) {
    std::wstring text(static_cast<size_t>(length), L'\0');
    va_start(args, format);
    _vsnwprintf(text.data(), text.size(), format, args);
    va_end(args);
    WriteWide(text);
  }
  SetLastError(savedError);
}

void OutA(const char* format, ...) {
  const DWORD savedError = GetLastError();
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    fwrite(text.data(), 1, static_cast<size_t>(length), stdout);
    fflush(stdout);
  }
  SetLastError(savedError);
}
