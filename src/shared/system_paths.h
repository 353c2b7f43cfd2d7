// Paths the system gives: its own folder and the running executable's. Each fits a path
// buffer of 260 characters or counts as missing.
#pragma once

#include <string>

// The system directory (C:\Windows\system32), or an empty text when it cannot be read or
// does not fit a path buffer of 260 characters.
std::wstring SystemDirectory();

// The system directory up to its first backslash (drive letter and colon). Empty when
// the system directory cannot be read, so that paths built on it start at the root of
// the current drive.
std::wstring SystemDrive();

// The running executable's full path. False, with an empty path and the reason in the
// last-error code, when the call fails or the path fills the whole buffer: a path that
// may have been cut is no path.
bool ExecutablePath(std::wstring& path);
