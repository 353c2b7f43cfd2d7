#include "debuglog.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "unique_handle.h"

namespace {

struct FileTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { CloseHandle(handle); }
};

constexpr size_t kStageSize = 1024;
constexpr const char* kLogFilePrefix = "";

}  // namespace

DebugLog& DebugLog::Instance() {
  static DebugLog log;
  return log;
}

DebugLog::DebugLog() {
  char modulePath[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
  moduleDirectory_ = modulePath;
  if (const size_t slash = moduleDirectory_.rfind('\\'); slash != std::string::npos) {
    moduleDirectory_.resize(slash);
  }

  enabled_ = PathFileExistsA((moduleDirectory_ + "\\debuglog.cfg").c_str()) != FALSE;
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
}

void DebugLog::Write(const char* line) const {
  if (!enabled_) return;
  UniqueHandle<FileTraits> file(CreateFileA(logFilePath_.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  std::string record(line);
  record += "\r\n";
  DWORD written = 0;
  WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

void LogPrintf(const char* format, ...) {
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
      va_list args;
      va_start(args, format);
      vsnprintf(line, kStageSize, stamped, args);
      va_end(args);
      log.Write(line);
    }
  }
  SetLastError(savedError);
}
