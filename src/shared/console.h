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

// One literal for a console line and its log twin that read the same: TOOLS_TWIN("text")
// gives the wide L"text" for the console and the narrow "text" for the log. Twins that
// differ on purpose are written out as two literals, so that they stand out.
#define TOOLS_TWIN(text) L"" text, text
// The same for a narrow console line.
#define TOOLS_TWIN_A(text) text, text

// A console line and its log twin, console first, both given the same arguments. The log's
// narrow format is checked against them, so that no wide text reaches a narrow %s: a pair
// about a wide text is EchoText's.
void EchoW(const wchar_t* console, const char* log, ...) TOOLS_PRINTF_FORMAT(2, 3);
void EchoA(const char* console, const char* log, ...) TOOLS_PRINTF_FORMAT(1, 3) TOOLS_PRINTF_FORMAT(2, 3);

// A pair about one wide text, and any numbers after it: the text as it is on the console,
// converted by `tools` for the log.
template <typename... Numbers>
void EchoText(CComStrTools& tools, const wchar_t* console, const char* log, const wchar_t* text, Numbers... numbers) {
  OutW(console, text, numbers...);
  LogPrintf(log, tools.ToNarrow(text), numbers...);
}

// The thread's last-error code as the signed number the failure lines print. Read once,
// at the failing call, and handed to both lines of a pair.
inline long LastErrorCode() { return static_cast<long>(GetLastError()); }
