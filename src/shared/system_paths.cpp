#include "system_paths.h"

#include <windows.h>

#include <cstddef>
#include <string>

std::wstring SystemDirectory() {
  wchar_t directory[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return (length > 0 && length < MAX_PATH) ? directory : L"";
}

std::wstring SystemDrive() {
  const std::wstring text = SystemDirectory();
  return text.substr(0, text.find(L'\\'));
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return path;
  const bool driveRoot = slash > 0 && path[slash - 1] == L':';
  return path.substr(0, driveRoot ? slash + 1 : slash);
}

std::wstring Join(const std::wstring& folder, const wchar_t* name) {
  return folder + (folder.empty() || folder.back() != L'\\' ? L"\\" : L"") + name;
}

bool ExecutablePath(std::wstring& path) {
  // GetModuleFileNameW fills the buffer with as much as fits and answers its size when the
  // path was cut, without a terminator (and, on older systems, without an error code).
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    if (length != 0) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    path.clear();
    return false;
  }
  // Built and moved in, not assign()ed: with GCC 14, assign() reaches a member that the
  // runtime instantiates itself, and that links the runtime's whole std::wstring (30 KB).
  path = std::wstring(buffer, length);
  return true;
}
