#include "console.h"

#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "debuglog.h"

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
  std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed <= 0 || WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr) <= 0) {
    // A conversion that failed has written nothing to trust: the text goes out with '?'
    // for each character outside ASCII, and the failure goes to the log.
    LogPrintf("WideCharToMultiByte err: %ld\n", LastErrorCode());
    bytes.clear();
    for (const wchar_t c : text) bytes.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

}  // namespace

void VOutW(const wchar_t* format, va_list args) {
  const DWORD savedError = GetLastError();
  va_list counted;
  va_copy(counted, args);
  const int length = _vscwprintf(format, counted);
  va_end(counted);
  if (length > 0) {
    std::wstring text(static_cast<size_t>(length), L'\0');
    _vsnwprintf(text.data(), text.size(), format, args);
    WriteWide(text);
  }
  SetLastError(savedError);
}

void VOutA(const char* format, va_list args) {
  const DWORD savedError = GetLastError();
  va_list counted;
  va_copy(counted, args);
  const int length = vsnprintf(nullptr, 0, format, counted);
  va_end(counted);
  if (length > 0) {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    fwrite(text.data(), 1, static_cast<size_t>(length), stdout);
    fflush(stdout);
  }
  SetLastError(savedError);
}

void OutW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  VOutW(format, args);
  va_end(args);
}

void OutA(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VOutA(format, args);
  va_end(args);
}

void EchoW(const wchar_t* console, const char* log, ...) {
  va_list args;
  va_start(args, log);
  va_list again;
  va_copy(again, args);
  VOutW(console, args);
  VLogPrintf(log, again);
  va_end(again);
  va_end(args);
}

void EchoA(const char* console, const char* log, ...) {
  va_list args;
  va_start(args, log);
  va_list again;
  va_copy(again, args);
  VOutA(console, args);
  VLogPrintf(log, again);
  va_end(again);
  va_end(args);
}
