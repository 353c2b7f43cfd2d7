// PLACEHOLDER: replaced by the real operation.
#include "operations.h"
int UninstallDriverPackages(CDriverInfPaths&) { return 0; }
