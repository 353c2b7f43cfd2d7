// Lets the compiler check a narrow printf-style format against the arguments that follow
// it (-Wformat), reading the format as msvcrt does.
#pragma once

#if defined(__GNUC__)
#define TOOLS_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((__format__(__ms_printf__, formatIndex, firstArgument)))
#else
#define TOOLS_PRINTF_FORMAT(formatIndex, firstArgument)
#endif
