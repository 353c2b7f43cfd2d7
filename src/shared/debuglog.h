// The time-stamped debug log. It is on only when a file named "debuglog.cfg" lies beside
// the executable; then every record goes to log\<yyyymmdd_hhmmss>.log beside it, named
// after the time of the run's first record.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

#include "printf_format.h"
#include "unique_handle.h"

class DebugLog {
 public:
  // The process-wide log, made and set up on first use, destroyed at process exit.
  static DebugLog& Instance();

  bool Enabled() const { return enabled_; }
  const std::wstring& LogFilePath() const { return logFilePath_; }

  // Appends one record: the line, then "\r\n". Opens and closes the file each time, sharing
  // it with every other writer, so a record is with the system once this returns. Writes
  // nothing unless the log folder is a real folder and the log file a plain file in it:
  // a link there must not lead the tool's writes anywhere else.
  void Write(const char* line) const;

 private:
  DebugLog();
  bool IsOwnLogFile(HANDLE file) const;

  std::wstring logFilePath_;
  std::wstring moduleDirectory_;
  std::wstring logBaseDirectory_;
  bool enabled_ = false;
  // The log folder, held open for the run so that it cannot be renamed or replaced, and
  // the final path its log file must have.
  FileHandle logFolder_;
  std::wstring logFileFinalPath_;
};

// printf-style record "yyyy-mm-dd hh:mm:ss\t" + text. Each of the two formatting stages is
// cut at 1023 characters. Leaves the calling thread's last-error code as it found it.
void LogPrintf(const char* format, ...) TOOLS_PRINTF_FORMAT(1, 2);
void VLogPrintf(const char* format, va_list args);
