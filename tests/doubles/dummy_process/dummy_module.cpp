// An empty library, loaded by dummy_process from folders named after the sweep's needles.
#include <windows.h>

extern "C" __declspec(dllexport) int DummyModuleVersion() { return 1; }
