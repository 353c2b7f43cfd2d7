// PLACEHOLDER: replaced by the real operation.
#include "operations.h"
int QueryDevice(CDriverInfPaths&, const wchar_t*, const wchar_t*) { return 0; }
