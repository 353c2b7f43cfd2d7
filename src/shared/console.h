// Console output. Wide formats take the Microsoft meaning: %s is a wide string. Narrow
// formats are printf's. Both write to standard output in text mode, flush every line and
// leave the thread's last-error code as they found it.
#pragma once

#include <windows.h>

#include <cstdarg>

#include "debuglog.h"
#include "printf_format.h"
#include "strtools.h"

void OutW(const wchar_t* format, ...);
void OutA(const char* format, ...) TOOLS_PRINTF_FORMAT(1, 2);
void VOutW(const wchar_t* format, va_list args);
void VOutA(const char* format, va_list args);

// A console line and its log twin, console first, both given the same arguments. The log's
// narrow format is checked against them, so that no wide text reaches a narrow %s: a pair
// about a wide text is EchoTextW's.
void EchoW(const wchar_t* console, const char* log, ...) TOOLS_PRINTF_FORMAT(2, 3);
void EchoA(const char* console, const char* log, ...) TOOLS_PRINTF_FORMAT(1, 3) TOOLS_PRINTF_FORMAT(2, 3);

// A pair that shows the thread's last-error code, read for each line in turn.
inline void EchoErrorW(const wchar_t* console, const char* log) {
  OutW(console, GetLastError());
  LogPrintf(log, static_cast<long>(GetLastError()));
}

inline void EchoErrorA(const char* console, const char* log) {
  OutA(console, static_cast<long>(GetLastError()));
  LogPrintf(log, static_cast<long>(GetLastError()));
}

// A pair about one wide text: shown as it is on the console, converted for the log.
inline void EchoTextW(CComStrTools& tools, const wchar_t* console, const char* log,
                      const wchar_t* text) {
  OutW(console, text);
  LogPrintf(log, tools.ToNarrow(text));
}
