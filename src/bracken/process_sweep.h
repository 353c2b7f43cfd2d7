#pragma once

// Enables the debug privilege of this process and terminates every other process that has
// a module loaded from a path holding one of the device needles. Silent.
void TerminateDeviceProcesses();
