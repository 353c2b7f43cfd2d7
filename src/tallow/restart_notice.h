// The line that ends "/i", "/re" and "/u" when a driver change of the run takes effect only
// after Windows restarts. The tool asks for no restart itself: the installer that started
// it reads the line and asks for one at its end.
#pragma once

#include "console.h"

inline void ReportRestartIfRequired(bool required) {
  if (required) EchoW(TOOLS_TWIN(" A restart is required to finish the driver update.\n"));
}
