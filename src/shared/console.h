// Console output. Wide formats take the Microsoft meaning: %s is a wide string. Narrow
// formats are printf's. Both write to standard output in text mode, flush every line and
// leave the thread's last-error code as they found it.
#pragma once

#include <windows.h>

#include "debuglog.h"
#include "strtools.h"

void OutW(const wchar_t* format, ...);
void OutA(const char* format, ...);

// A console line and its log twin, console first, both given the same arguments.
template <typename... Args>
void EchoW(const wchar_t* console, const char* log, Args... args) {
  OutW(console, args...);
  LogPrintf(log, args...);
}

template <typename... Args>
void EchoA(const char* console, const char* log, Args... args) {
  OutA(console, args...);
  LogPrintf(log, args...);
}

// A pair that shows the thread's last-error code, read for each line in turn.
inline void EchoErrorW(const wchar_t* console, const char* log) {
  OutW(console, GetLastError());
  LogPrintf(log, GetLastError());
}

inline void EchoErrorA(const char* console, const char* log) {
  OutA(console, GetLastError());
  LogPrintf(log, GetLastError());
}

// A pair about one wide text: shown as it is on the console, converted for the log.
inline void EchoTextW(CComStrTools& tools, const wchar_t* console, const char* log,
                      const wchar_t* text) {
  OutW(console, text);
  LogPrintf(log, tools.ToNarrow(text));
}
