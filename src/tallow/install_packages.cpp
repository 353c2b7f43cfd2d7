// PLACEHOLDER: replaced by the real operation.
#include "operations.h"
int InstallDriverPackages(CDriverInfPaths&) { return 0; }
