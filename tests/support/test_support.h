// Helpers shared by the test programs: files, scratch folders, running a tool and
// capturing what the code under test prints.
#pragma once

#include <windows.h>

#include <string>
#include <type_traits>
#include <vector>

namespace testing_support {

// ASCII text as narrow text, for building expected output from wide paths.
inline std::string Narrow(const std::wstring& text) { return {text.begin(), text.end()}; }

// Folder of the running test program (no trailing backslash) and a file beside it.
std::wstring ModuleDirectory();
std::wstring BesideTests(const std::wstring& name);

bool FileExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Makes the folder and every missing parent.
void MakeDirectories(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// File names (not paths) in a folder, sorted.
std::vector<std::wstring> ListFiles(const std::wstring& directory);

// Makes `link` a symbolic or hard link to `target` with the host's ln: Wine shows a symbolic
// link to a folder as a reparse point and follows one to a file.
void HostLink(const std::wstring& target, const std::wstring& link, bool symbolic);
// Removes a link that HostLink made; Wine cannot remove a link to a folder itself.
void HostUnlink(const std::wstring& link);

// Makes `letter` a drive whose root is `folder`, through a link in the Wine prefix, for the
// life of the object.
class MappedDrive {
 public:
  MappedDrive(wchar_t letter, const std::wstring& folder);
  ~MappedDrive();
  MappedDrive(const MappedDrive&) = delete;
  MappedDrive& operator=(const MappedDrive&) = delete;

  const std::wstring& root() const { return root_; }  // "R:\"

 private:
  std::wstring root_;
};

// A fresh, empty folder C:\tooltests\<name>, removed again at the end of the test.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// A scratch folder named after the running test.
std::wstring CurrentTestName();

struct RunResult {
  DWORD exitCode = 0;
  std::string out;  // standard output, byte for byte
};

// Starts a program with the given arguments (after its quoted path), waits for it, and
// returns its exit code and standard output. Retries a start that Wine refused.
// `environment` entries ("NAME=value") are added to the inherited environment.
RunResult Run(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workingDirectory = L"",
              const std::vector<std::wstring>& environment = {});

// Collects what the process writes to standard output from construction to Finish().
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string Finish();

 private:
  std::wstring path_;
  int savedFd_ = -1;
};

// Text of a record that LogPrintf appended after a given offset of the log.
class LogTail {
 public:
  LogTail();  // remembers the current end of this process's log
  // The records written since, with their time stamps removed.
  std::string Records() const;

 private:
  size_t start_ = 0;
};

// What code run in this process printed and logged.
struct Captured {
  int result = 0;   // what the code gave back, for code that gives a number
  std::string out;  // standard output, byte for byte
  std::string log;  // the log records written meanwhile, time stamps removed
};

// Runs `code` here and collects what it printed on standard output and wrote to the log.
template <typename Code>
Captured Capture(Code code) {
  Captured captured;
  const LogTail tail;
  StdoutCapture capture;
  if constexpr (std::is_void_v<std::invoke_result_t<Code>>) {
    code();
  } else {
    captured.result = static_cast<int>(code());
  }
  captured.out = capture.Finish();
  captured.log = tail.Records();
  return captured;
}

// The records of every log file in `folder`\log, in the order of their names, time stamps
// removed.
std::string LogRecordsIn(const std::wstring& folder);

// Removes the "yyyy-mm-dd hh:mm:ss\t" stamp from every record of a log's text; fails the
// test when a record lacks a well-formed stamp.
std::string StripStamps(const std::string& log);

}  // namespace testing_support
