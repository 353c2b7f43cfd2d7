#pragma once

// "/stopsvc": the process sweep, then the three services stopped and Apple's deleted.
void StopServices();
// "/startsvc": Apple's service installed, the support values written, the three services
// started.
void StartServices();
