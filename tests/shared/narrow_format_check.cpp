// Compiled, never run, by the test of the pair helpers' format check: CASE 1 and 2 hand a
// wide text to a narrow format and must not compile; CASE 0 must.
#include "console.h"

void Report([[maybe_unused]] const wchar_t* wide, [[maybe_unused]] const char* narrow) {
#if CASE == 1
  EchoW(L"%s \n", "%s \n", wide);
#elif CASE == 2
  EchoA("%s \n", "%s \n", wide);
#else
  EchoW(L"%d \n", "%d \n", 1);
  EchoA("%s \n", "%s \n", narrow);
  EchoTextW(*static_cast<CComStrTools*>(nullptr), L"%s \n", "%s \n", wide);
#endif
}
