#pragma once

// The whole run for one command line: discovery, then the sequence that element 1 names
// ("/stopsvc" or "/startsvc", any letter case). Returns the exit code, always 0.
int RunBracken(const wchar_t* commandLine);
