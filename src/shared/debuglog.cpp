#include "debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "system_paths.h"

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
// run, without delete sharing so that nobody can rename it or put a link in its place
// while the run lasts, and its final path. Empty unless it is a real folder: not a link
// itself (as the path says and as the open folder says), and its final path the module
// directory's with "\log" added.
FileHandle OpenLogFolder(const std::string& moduleDirectory, const std::string& folder, std::wstring& finalPath) {
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  const FileHandle module(CreateFileA(moduleDirectory.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileHandle log(CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  finalPath = log ? FinalPath(log.get()) : L"";
  const bool realFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                          !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && module && log &&
                          GetFileInformationByHandle(log.get(), &info) && IsFolder(info) && !IsReparsePoint(info) &&
                          SamePath(finalPath, FinalPath(module.get()) + L"\\log");
  if (!realFolder) log.reset();
  return log;
}

}  // namespace

DebugLog& DebugLog::Instance() {
  static DebugLog log;
  return log;
}

DebugLog::DebugLog() {
  // Without the whole path of the executable there is no folder to look for the marker in.
  std::string modulePath;
  if (!ExecutablePath(modulePath)) return;
  moduleDirectory_ = modulePath;
  if (const size_t slash = moduleDirectory_.rfind('\\'); slash != std::string::npos) {
    moduleDirectory_.resize(slash);
  }

  enabled_ = GetFileAttributesA((moduleDirectory_ + "\\debuglog.cfg").c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!enabled_) return;

  if (logBaseDirectory_.empty()) logBaseDirectory_ = moduleDirectory_;
  const std::string logDirectory = logBaseDirectory_ + "\\log";
  // An existing folder is fine; a folder that cannot be made shows up as records that
  // cannot be written.
  CreateDirectoryA(logDirectory.c_str(), nullptr);

  const time_t now = time(nullptr);
  const tm* local = localtime(&now);
  char name[64] = {};
  if (local) {
    snprintf(name, sizeof name, "\\%s%04d%02d%02d_%02d%02d%02d.log", kLogFilePrefix,
             local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
             local->tm_min, local->tm_sec);
  }
  logFilePath_ = logDirectory + name;

  std::wstring folderPath;
  logFolder_ = OpenLogFolder(moduleDirectory_, logDirectory, folderPath);
  if (!logFolder_) return;
  const std::string fileName = name;
  logFileFinalPath_ = folderPath + std::wstring(fileName.begin(), fileName.end());
}

bool DebugLog::IsOwnLogFile(HANDLE file) const {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info) || IsReparsePoint(info) || IsFolder(info) ||
      info.nNumberOfLinks != 1) {
    return false;
  }
  return SamePath(FinalPath(file), logFileFinalPath_);
}

void DebugLog::Write(const char* line) const {
  if (!enabled_ || !logFolder_) return;
  // Opened without following a link: a link in the file's place is seen as what it is.
  const FileHandle file(CreateFileA(logFilePath_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || !IsOwnLogFile(file.get())) return;
  std::string record(line);
  record += "\r\n";
  DWORD written = 0;
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
      snprintf(stamped, kStageSize, "%04d-%02d-%02d %02d:%02d:%02d\t%s", local->tm_year + 1900,
               local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
               format);
      char line[kStageSize] = {};
      vsnprintf(line, kStageSize, stamped, args);
      log.Write(line);
    }
  }
  SetLastError(savedError);
}
