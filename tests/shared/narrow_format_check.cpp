// Compiled, never run, by the test of the pair helpers' format check: CASE 1 and 2 hand a
// wide text to a narrow format and must not compile; CASE 0 must.
#include "console.h"

void Report([[maybe_unused]] const wchar_t* wide, [[maybe_unused]] const char* narrow) {
#if CASE == 1
  EchoW(TOOLS_TWIN("%s \n"), wide);
#elif CASE == 2
  EchoA("%s \n", "%s \n", wide);
#else
  EchoW(TOOLS_TWIN("%d \n"), 1);
  EchoA("%s \n", "%s \n", narrow);
  EchoText(*static_cast<CComStrTools*>(nullptr), TOOLS_TWIN("%s \n"), wide);
#endif
}
