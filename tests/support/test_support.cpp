#include "test_support.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "debuglog.h"
#include "system_libraries.h"
#include "system_paths.h"

namespace testing_support {

std::wstring ModuleDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring directory = path;
  return directory.substr(0, directory.rfind(L'\\'));
}

std::wstring BesideTests(const std::wstring& name) { return ModuleDirectory() + L"\\" + name; }

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  if (FILE* file = _wfopen(path.c_str(), L"rb")) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    fclose(file);
  }
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  ASSERT_NE(file, nullptr) << "cannot write a test file";
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

void MakeDirectories(const std::wstring& path) {
  for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
    CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveTree(const std::wstring& path) {  // NOLINT(misc-no-recursion): a tree is removed folder by folder
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      // A link to a folder is never followed: whoever made it removes it.
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> ListFiles(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::ranges::sort(names);
  return names;
}

namespace {

// The Unix form of a Windows path.
std::string UnixName(const std::wstring& path) {
  // cppcheck-suppress cstyleCast ; a function pointer type, not a cast
  using UnixFileName = char*(CDECL*)(LPCWSTR);
  const auto unixName = ExportedFunction<UnixFileName>(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  EXPECT_NE(unixName, nullptr) << "not running under Wine";
  char* name = unixName ? unixName(path.c_str()) : nullptr;
  std::string text = name ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

// Starts a host program with the given Unix paths as its last arguments. Wine does not see
// a host program end; the callers wait for its effect.
void StartHostProgram(const std::wstring& program, const std::wstring& options,
                      std::initializer_list<std::string> paths) {
  std::wstring commandLine = program + L" " + options;
  for (const std::string& path : paths) commandLine += L" \"" + std::wstring(path.begin(), path.end()) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW((L"Z:\\bin\\" + program).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// The prefix's link that makes `letter` a drive.
std::string DriveLink(wchar_t letter) {
  // C: is the link dosdevices/c: to drive_c; either may show in its Unix form.
  std::string drive = UnixName(L"C:\\");
  while (!drive.empty() && drive.back() == '/') drive.pop_back();
  const std::string prefix = drive.substr(0, drive.rfind('/'));
  const bool viaLink = drive.substr(drive.rfind('/') + 1) == "c:";
  return prefix + (viaLink ? "/" : "/dosdevices/") + static_cast<char>(towlower(letter)) + ":";
}

void WaitUntilPresent(const std::wstring& path, bool present) {
  for (int waited = 0; (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) != present; waited += 20) {
    ASSERT_LT(waited, 10000) << Narrow(path) << (present ? " did not appear" : " did not go");
    Sleep(20);
  }
}

}  // namespace

void HostLink(const std::wstring& target, const std::wstring& link, bool symbolic) {
  StartHostProgram(L"ln", symbolic ? L"-s" : L"", {UnixName(target), UnixName(link)});
  WaitUntilPresent(link, true);
}

void HostUnlink(const std::wstring& link) {
  StartHostProgram(L"rm", L"-f", {UnixName(link)});
  WaitUntilPresent(link, false);
}

MappedDrive::MappedDrive(wchar_t letter, const std::wstring& folder) : root_(std::wstring(1, letter) + L":\\") {
  StartHostProgram(L"ln", L"-s", {UnixName(folder), DriveLink(letter)});
  WaitUntilPresent(root_, true);
}

MappedDrive::~MappedDrive() {
  StartHostProgram(L"rm", L"-f", {DriveLink(root_[0])});
  WaitUntilPresent(root_, false);
}

std::wstring CurrentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::ranges::replace(name, '/', '_');
  return {name.begin(), name.end()};
}

ScratchDir::ScratchDir(const std::wstring& name) : path_(L"C:\\tooltests\\" + name) {
  RemoveTree(path_);
  MakeDirectories(path_);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

RunResult Run(const std::wstring& exe, const std::wstring& arguments, const std::wstring& workingDirectory,
              const std::vector<std::wstring>& environment) {
  RunResult result;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    return result;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  std::wstring block;
  if (!environment.empty()) {
    wchar_t* inherited = GetEnvironmentStringsW();
    auto overridden = [&](const wchar_t* entry) {
      return std::ranges::any_of(environment, [&](const std::wstring& added) {
        const size_t nameLength = added.find(L'=') + 1;
        return _wcsnicmp(entry, added.c_str(), nameLength) == 0;
      });
    };
    for (const wchar_t* entry = inherited; *entry; entry += wcslen(entry) + 1) {
      if (!overridden(entry)) block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(inherited);
    for (const std::wstring& entry : environment) block.append(entry).push_back(L'\0');
    block.push_back(L'\0');
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  PROCESS_INFORMATION process = {};
  bool started = false;
  const std::wstring command = L"\"" + exe + L"\" " + arguments;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    std::wstring commandLine = command;  // CreateProcessW may write into it
    started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                             environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
                             environment.empty() ? nullptr : block.data(),
                             workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
    if (!started) Sleep(200);
  }
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    ADD_FAILURE() << "cannot start the program under test, error " << GetLastError();
    return result;
  }

  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got) result.out.append(buffer, got);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

StdoutCapture::StdoutCapture() {
  wchar_t directory[MAX_PATH] = {};
  wchar_t file[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, directory);
  GetTempFileNameW(directory, L"out", 0, file);
  path_ = file;
  fflush(stdout);
  savedFd_ = _dup(1);
  // Text mode, as standard output is: line feeds reach the file as CR LF.
  const int fd = _wopen(path_.c_str(), _O_WRONLY | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  _dup2(fd, 1);
  _close(fd);
}

std::string StdoutCapture::Finish() {
  if (savedFd_ >= 0) {
    fflush(stdout);
    _dup2(savedFd_, 1);
    _close(savedFd_);
    savedFd_ = -1;
  }
  return ReadBytes(path_);
}

StdoutCapture::~StdoutCapture() {
  Finish();
  DeleteFileW(path_.c_str());
}

namespace {

size_t LogSize() {
  const std::wstring& path = DebugLog::Instance().LogFilePath();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return data.nFileSizeLow;
}

}  // namespace

LogTail::LogTail() : start_(LogSize()) {}

std::string LogTail::Records() const {
  const std::string all = ReadBytes(DebugLog::Instance().LogFilePath());
  return StripStamps(all.substr(std::min(start_, all.size())));
}

std::string LogRecordsIn(const std::wstring& folder) {
  std::string records;
  const std::wstring logFolder = Join(folder, L"log");
  for (const std::wstring& file : ListFiles(logFolder)) {
    records += StripStamps(ReadBytes(Join(logFolder, file.c_str())));
  }
  return records;
}

std::string StripStamps(const std::string& log) {
  static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t)");
  std::string text;
  size_t position = 0;
  while (position < log.size()) {
    size_t end = log.find("\r\n", position);
    end = end == std::string::npos ? log.size() : end + 2;
    const std::string record = log.substr(position, end - position);
    std::smatch match;
    if (std::regex_search(record, match, stamp)) {
      text += record.substr(match.length());
    } else {
      ADD_FAILURE() << "log record without a time stamp: " << record;
      text += record;
    }
    position = end;
  }
  return text;
}

}  // namespace testing_support
