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

// The folder of a file's full path: the text before its last backslash, or the whole path
// when it holds none. A file at a drive's root keeps the backslash ("D:\"), since "D:"
// alone names the drive's current folder.
std::wstring FolderOf(const std::wstring& path);

// `name` in `folder`, with one backslash between them also when the folder is a drive's
// root and already ends with one.
std::wstring Join(const std::wstring& folder, const wchar_t* name);
