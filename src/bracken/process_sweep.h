#pragma once

#include <windows.h>

#include <vector>

// Enables the debug privilege of this process and terminates every other process that has
// a module loaded from a path holding one of the device needles, but those of
// `leftToTheirServices`, which the services' stops handle. Silent.
void TerminateDeviceProcesses(const std::vector<DWORD>& leftToTheirServices);
