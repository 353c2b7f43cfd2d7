#include "debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "system_paths.h"
#include "unique_handle.h"

namespace {

constexpr size_t kStageSize = 1024;
constexpr const char* kLogFilePrefix = "";
// Final paths carry the "\\?\" prefix and may be longer than a classic path.
constexpr DWORD kFinalPathChars = 1024;

// The path an open file or folder really has, every link resolved; empty when it cannot
// be read.
std::wstring FinalPath(HANDLE handle) {
  wchar_t path[kFinalPathChars] = {};
  const DWORD length = GetFinalPathNameByHandleW(handle, path, kFinalPathChars, FILE_NAME_NORMALIZED);
  return (length > 0 && length < kFinalPathChars) ? std::wstring(path, length) : std::wstring();
}

bool IsReparsePoint(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsFolder(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// The log folder `folder` beside the executable in `moduleDirectory`, held open for the
// run, and its final path. It is opened for listing, so that its share mode counts, and
// without delete sharing: while the run lasts nobody can rename it or put a link in its
// place. Empty unless it is a real folder: not a link itself (as the path says and as the
// open folder says), and its final path the module directory's with "log" added.
FileHandle OpenLogFolder(const std::wstring& moduleDirectory, const std::wstring& folder, std::wstring& finalPath) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  const FileHandle module(CreateFileW(moduleDirectory.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileHandle log(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  finalPath = log ? FinalPath(log.get()) : L"";
  const bool realFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                          !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && module && log &&
                          GetFileInformationByHandle(log.get(), &info) && IsFolder(info) && !IsReparsePoint(info) &&
                          SamePath(finalPath, Join(FinalPath(module.get()), L"log"));
  if (!realFolder) log.reset();
  return log;
}

}  // namespace

DebugLog& DebugLog::Instance() {
  static DebugLog log;
  return log;
}

DebugLog::DebugLog() {
  // Paths stay wide: a folder name outside the ANSI code page must neither lose the log
  // nor, through a best-fit mapping, lead it into another folder.
  std::wstring modulePath;
  // Without the whole path of the executable there is no folder to look for the marker in.
  if (!ExecutablePath(modulePath)) return;
  moduleDirectory_ = FolderOf(modulePath);

  enabled_ = GetFileAttributesW(Join(moduleDirectory_, L"debuglog.cfg").c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!enabled_) return;

  if (logBaseDirectory_.empty()) logBaseDirectory_ = moduleDirectory_;
  const std::wstring logDirectory = Join(logBaseDirectory_, L"log");
  // An existing folder is fine; a folder that cannot be made shows up as records that
  // cannot be written.
  CreateDirectoryW(logDirectory.c_str(), nullptr);

  const time_t now = time(nullptr);
  const tm* local = localtime(&now);
  char name[64] = {};
  if (local) {
    snprintf(name, sizeof name, "\\%s%04d%02d%02d_%02d%02d%02d.log", kLogFilePrefix, local->tm_year + 1900,
             local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
  }
  // The name is ASCII digits and punctuation.
  const std::wstring fileName(name, name + strlen(name));
  logFilePath_ = logDirectory + fileName;

  std::wstring folderPath;
  logFolder_ = OpenLogFolder(moduleDirectory_, logDirectory, folderPath);
  if (!logFolder_) return;
  logFileFinalPath_ = folderPath + fileName;
}

bool DebugLog::IsOwnLogFile(HANDLE file) const {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info) || IsReparsePoint(info) || IsFolder(info) || info.nNumberOfLinks != 1) {
    return false;
  }
  return SamePath(FinalPath(file), logFileFinalPath_);
}

void DebugLog::Write(const char* line) const {
  if (!enabled_ || !logFolder_) return;
  // Opened without following a link: a link in the file's place is seen as what it is.
  const FileHandle file(CreateFileW(logFilePath_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || !IsOwnLogFile(file.get())) return;
  std::string record(line);
  record += "\r\n";
  DWORD written = 0;
  // A record that cannot be written is dropped, silently, like one whose file cannot be opened.
  WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

void LogPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLogPrintf(format, args);
  va_end(args);
}

void VLogPrintf(const char* format, va_list args) {
  const DWORD savedError = GetLastError();
  const DebugLog& log = DebugLog::Instance();
  if (log.Enabled()) {
    const time_t now = time(nullptr);
    if (const tm* local = localtime(&now)) {
      // The caller's format goes in unexpanded, so its % sequences are expanded once, by
      // the caller's own arguments.
      char stamped[kStageSize] = {};
      snprintf(stamped, kStageSize, "%04d-%02d-%02d %02d:%02d:%02d\t%s", local->tm_year + 1900, local->tm_mon + 1,
               local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec, format);
      char line[kStageSize] = {};
      vsnprintf(line, kStageSize, stamped, args);
      log.Write(line);
    }
  }
  SetLastError(savedError);
}
