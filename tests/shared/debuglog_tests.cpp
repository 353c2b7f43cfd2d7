// The debug log: in-process (the marker lies beside the test programs) and through
// log_probe, a separate program whose folder has or lacks the marker.
#include <windows.h>

#include <ctime>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

#include "debuglog.h"
#include "import_patch.h"
#include "test_support.h"
#include "unique_handle.h"

namespace testing_support {

TEST(DebugLog, RecordIsStampThenTextThenCrLf) {
  ASSERT_TRUE(DebugLog::Instance().Enabled());
  LogTail tail;
  const time_t before = time(nullptr);
  LogPrintf("\n Query Device Opt: \n");
  const time_t after = time(nullptr);

  const std::string all = ReadBytes(DebugLog::Instance().LogFilePath());
  ASSERT_GE(all.size(), 43u);
  const std::string record = all.substr(all.size() - 43);
  std::smatch stamp;
  ASSERT_TRUE(std::regex_match(
      record, stamp, std::regex(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\t\n Query Device Opt: \n\r\n)")))
      << record;
  tm fields = {};
  fields.tm_year = std::stoi(stamp[1]) - 1900;
  fields.tm_mon = std::stoi(stamp[2]) - 1;
  fields.tm_mday = std::stoi(stamp[3]);
  fields.tm_hour = std::stoi(stamp[4]);
  fields.tm_min = std::stoi(stamp[5]);
  fields.tm_sec = std::stoi(stamp[6]);
  fields.tm_isdst = -1;
  const time_t stamped = mktime(&fields);
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);
  EXPECT_EQ(tail.Records(), "\n Query Device Opt: \n\r\n");
}

TEST(DebugLog, PercentSequencesAreExpandedOnceByTheCallersArguments) {
  LogTail tail;
  LogPrintf("%d%% of %s\n", 50, "100%d%s");
  LogPrintf("dwStartTickCount = %d, dwOldCheckPoint = %d \n", -5, 7);
  EXPECT_EQ(tail.Records(), "50% of 100%d%s\n\r\ndwStartTickCount = -5, dwOldCheckPoint = 7 \n\r\n");
}

TEST(DebugLog, OverlongTextIsCutAt1023Characters) {
  LogTail tail;
  LogPrintf("%s", std::string(2000, 'y').c_str());
  // 20 characters of stamp and 1003 of text fill the 1023 the line can hold.
  EXPECT_EQ(tail.Records(), std::string(1003, 'y') + "\r\n");
}

namespace {

HANDLE WINAPI RefusingCreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  SetLastError(ERROR_SHARING_VIOLATION);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

TEST(DebugLog, ARecordWhoseFileCannotBeOpenedIsDropped) {
  LogTail tail;
  {
    ImportPatch open("kernel32.dll", "CreateFileW", reinterpret_cast<const void*>(&RefusingCreateFileW));
    SetLastError(0xE0000219u);
    LogPrintf("dropped\n");
    EXPECT_EQ(GetLastError(), 0xE0000219u);
  }
  LogPrintf("kept\n");
  EXPECT_EQ(tail.Records(), "kept\n\r\n");
}

// A record is written only into the run's own log file, as the opened file shows it, and
// only with its time stamp.
namespace {

enum class LogFileAnswer { kUnreadable, kReparsePoint, kFolder, kTwoLinks, kNoFinalPath, kOverlongFinalPath, kNoTime };
LogFileAnswer g_logFile;
ImportPatch* g_fileInformation = nullptr;
ImportPatch* g_finalPath = nullptr;

BOOL WINAPI FakeGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (g_logFile == LogFileAnswer::kUnreadable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const BOOL read = g_fileInformation->Original<decltype(&GetFileInformationByHandle)>()(file, info);
  if (g_logFile == LogFileAnswer::kReparsePoint) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (g_logFile == LogFileAnswer::kFolder) info->dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (g_logFile == LogFileAnswer::kTwoLinks) info->nNumberOfLinks = 2;
  return read;
}
DWORD WINAPI FakeGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
  if (g_logFile == LogFileAnswer::kNoFinalPath) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (g_logFile == LogFileAnswer::kOverlongFinalPath) return size;  // the size it would need
  return g_finalPath->Original<decltype(&GetFinalPathNameByHandleW)>()(file, path, size, flags);
}
tm* __cdecl NoLocalTime(const time_t*) { return nullptr; }

}  // namespace

TEST(DebugLog, NoRecordWithoutItsOwnFileOrItsTime) {
  {
    // The log is set up, with its folder verified, before any call is replaced.
    LogTail tail;
    LogPrintf("kept\n");
    ASSERT_EQ(tail.Records(), "kept\n\r\n");
  }
  ImportPatch information("kernel32.dll", "GetFileInformationByHandle",
                          reinterpret_cast<const void*>(&FakeGetFileInformationByHandle));
  ImportPatch finalPath("kernel32.dll", "GetFinalPathNameByHandleW",
                        reinterpret_cast<const void*>(&FakeGetFinalPathNameByHandleW));
  g_fileInformation = &information;
  g_finalPath = &finalPath;
  for (const LogFileAnswer answer :
       {LogFileAnswer::kUnreadable, LogFileAnswer::kReparsePoint, LogFileAnswer::kFolder, LogFileAnswer::kTwoLinks,
        LogFileAnswer::kNoFinalPath, LogFileAnswer::kOverlongFinalPath, LogFileAnswer::kNoTime}) {
    g_logFile = answer;
    LogTail tail;
    {
      // The runtime's localtime: the 32-bit one in the i386 build, the 64-bit one in x86-64's.
      std::optional<ImportPatch> time;
      if (answer == LogFileAnswer::kNoTime) {
        time.emplace("msvcrt.dll", sizeof(void*) == 8 ? "_localtime64" : "localtime",
                     reinterpret_cast<const void*>(&NoLocalTime));
      }
      SetLastError(0xE0000219u);
      LogPrintf("dropped\n");
      EXPECT_EQ(GetLastError(), 0xE0000219u) << static_cast<int>(answer);
    }
    EXPECT_EQ(tail.Records(), "") << static_cast<int>(answer);
  }
}

TEST(DebugLog, KeepsTheCallersLastError) {
  SetLastError(0xE0000219u);
  LogPrintf("x\n");
  EXPECT_EQ(GetLastError(), 0xE0000219u);
  SetLastError(0);
  LogPrintf("y\n");
  EXPECT_EQ(GetLastError(), 0u);
}

class LogProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(BesideTests(L"log_probe.exe").c_str(), (dir / L"log_probe.exe").c_str(), FALSE));
  }
  RunResult Probe(const std::wstring& arguments) {
    return testing_support::Run(dir / L"log_probe.exe", arguments, dir.path());
  }
  void AddMarker() { WriteBytes(dir / L"debuglog.cfg", ""); }
  std::vector<std::wstring> LogFiles() { return ListFiles(dir / L"log"); }

  ScratchDir dir{CurrentTestName()};
};

#if defined(__GLIBCXX__)
// The builds' own terminate handler (linked into the probe as into the tools).
TEST_F(LogProbe, AnExceptionNobodyCatchesIsNamedAndAbortsTheRun) {
  const RunResult run = Probe(L"/throw");
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_TRUE(run.out.starts_with("terminate called after throwing an instance of 'St9bad_alloc'\r\n"
                                  "  what():  std::bad_alloc\r\n"))
      << run.out;
}
#endif

TEST_F(LogProbe, WithoutTheMarkerNothingIsCreated) {
  const RunResult run = Probe(L"one two");
  EXPECT_EQ(run.exitCode, 0u) << "LogPrintf changed the last-error code";
  EXPECT_FALSE(FileExists(dir / L"log"));
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::wstring>{L"log_probe.exe"});
}

TEST_F(LogProbe, WithTheMarkerOneRunWritesOneFileNamedAfterItsStart) {
  AddMarker();
  const time_t before = time(nullptr);
  const RunResult run = Probe(L"one 50%s /long");
  const time_t after = time(nullptr);
  EXPECT_EQ(run.exitCode, 0u) << "LogPrintf changed the last-error code";
  EXPECT_EQ(run.out, "");

  const std::vector<std::wstring> files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string name = Narrow(files[0]);
  bool named = false;
  for (time_t t = before; t <= after && !named; ++t) {
    char expected[32];
    strftime(expected, sizeof expected, "%Y%m%d_%H%M%S.log", localtime(&t));
    named = name == expected;
  }
  EXPECT_TRUE(named) << name;
  EXPECT_EQ(StripStamps(ReadBytes(dir / (L"log\\" + files[0]))),
            "probe 1% one\n\r\nprobe 2% 50%s\n\r\n" + std::string(1003, 'x') + "\r\n");
}

// A log folder that cannot be opened or shown to be the real folder beside the program,
// or a run without the time of day, gets no records.
TEST_F(LogProbe, NoRecordsWhereTheFolderOrTheTimeCannotBeRead) {
  AddMarker();
  for (const wchar_t* failure :
       {L"folder", L"module", L"attributes", L"information", L"file", L"reparse", L"finalpath", L"time"}) {
    const RunResult run = Probe(std::wstring(L"/fail=") + failure + L" one");
    EXPECT_EQ(run.exitCode, 0u) << Narrow(failure);
    EXPECT_EQ(run.out, "") << Narrow(failure);
    EXPECT_EQ(LogRecordsIn(dir.path()), "") << Narrow(failure);
  }
  EXPECT_EQ(Probe(L"one").exitCode, 0u);
  EXPECT_EQ(LogRecordsIn(dir.path()), "probe 1% one\n\r\n") << "the same run without a failure";
  // A file in the folder's place is left as it is.
  RemoveTree(dir / L"log");
  WriteBytes(dir / L"log", "kept");
  EXPECT_EQ(Probe(L"one").exitCode, 0u);
  EXPECT_EQ(ReadBytes(dir / L"log"), "kept");
}

TEST_F(LogProbe, RunsInDifferentSecondsWriteDifferentFiles) {
  AddMarker();
  Probe(L"first");
  Sleep(1100);
  Probe(L"second");
  const std::vector<std::wstring> files = LogFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(StripStamps(ReadBytes(dir / (L"log\\" + files[0]))), "probe 1% first\n\r\n");
  EXPECT_EQ(StripStamps(ReadBytes(dir / (L"log\\" + files[1]))), "probe 1% second\n\r\n");
}

TEST_F(LogProbe, ARunAppendsToTheFileOfItsSecond) {
  // What two runs in the same second share: the second one finds the file of its second
  // and appends to it. Files of an earlier run wait under every name this run may pick.
  AddMarker();
  CreateDirectoryW((dir / L"log").c_str(), nullptr);
  std::vector<std::wstring> names;
  for (time_t t = time(nullptr), end = t + 10; t < end; ++t) {
    char name[32];
    strftime(name, sizeof name, "%Y%m%d_%H%M%S.log", localtime(&t));
    names.emplace_back(name, name + strlen(name));
    WriteBytes(dir / (L"log\\" + names.back()), "2000-01-01 00:00:00\tearlier run\r\n");
  }
  Probe(L"second");
  EXPECT_EQ(LogFiles(), names);
  int appended = 0;
  for (const std::wstring& name : names) {
    const std::string records = StripStamps(ReadBytes(dir / (L"log\\" + name)));
    if (records == "earlier run\r\nprobe 1% second\n\r\n") {
      ++appended;
    } else {
      EXPECT_EQ(records, "earlier run\r\n");
    }
  }
  EXPECT_EQ(appended, 1);
}

TEST(LogLinks, NothingIsWrittenThroughALink) {
  enum class Link { kFolder, kFile, kHardLink };
  for (const Link link : {Link::kFolder, Link::kFile, Link::kHardLink}) {
    // Made first and removed last, so that no link is ever left without its target.
    ScratchDir elsewhere(CurrentTestName() + std::to_wstring(static_cast<int>(link)) + L"_elsewhere");
    ScratchDir dir(CurrentTestName() + std::to_wstring(static_cast<int>(link)));
    ASSERT_TRUE(CopyFileW(BesideTests(L"log_probe.exe").c_str(), (dir / L"log_probe.exe").c_str(), FALSE));
    WriteBytes(dir / L"debuglog.cfg", "");
    std::vector<std::wstring> targets;
    std::vector<std::wstring> links;
    if (link == Link::kFolder) {
      links.push_back(dir / L"log");
      HostLink(elsewhere.path(), links.back(), true);
    } else {
      // The run's log file is named after the second of its first record: in the place of
      // every name the run may pick, a link to a file of its own elsewhere, so that a hard
      // link's file has exactly the two names an attacker needs.
      CreateDirectoryW((dir / L"log").c_str(), nullptr);
      for (time_t t = time(nullptr), end = t + 10; t < end; ++t) {
        char name[32];
        strftime(name, sizeof name, "%Y%m%d_%H%M%S.log", localtime(&t));
        const std::wstring fileName(name, name + strlen(name));
        targets.push_back(elsewhere / fileName);
        WriteBytes(targets.back(), "kept\r\n");
        links.push_back(dir / (L"log\\" + fileName));
        HostLink(targets.back(), links.back(), link == Link::kFile);
      }
    }
    const std::vector<std::wstring> before = ListFiles(elsewhere.path());

    const RunResult run = testing_support::Run(dir / L"log_probe.exe", L"one two", dir.path());
    EXPECT_EQ(run.exitCode, 0u) << "LogPrintf changed the last-error code";
    EXPECT_EQ(run.out, "");
    for (const std::wstring& target : targets) EXPECT_EQ(ReadBytes(target), "kept\r\n") << static_cast<int>(link);
    EXPECT_EQ(ListFiles(elsewhere.path()), before) << static_cast<int>(link);
    if (link != Link::kFolder) {
      EXPECT_EQ(ListFiles(dir / L"log").size(), 10u) << "a log file beside the links";
    }
    // Wine removes the target of a symbolic link in its place.
    if (link != Link::kHardLink) {
      for (const std::wstring& made : links) HostUnlink(made);
    }
  }
}

// Where the tool lies: a folder whose name is outside the ANSI code page, or a drive's root,
// logs the same records as a plain folder.
TEST(LogPlaces, EveryFolderTheToolCanLieInGetsItsLog) {
  ScratchDir scratch(CurrentTestName());
  const std::wstring plain = scratch / L"plain";
  const std::wstring thai = scratch / L"\u0E17\u0E14\u0E2A\u0E2D\u0E1A";  // "test" in Thai
  const std::wstring rooted = scratch / L"drive";
  MakeDirectories(rooted);
  const MappedDrive drive(L'R', rooted);
  // Started from elsewhere with R:'s current folder below its root, where "R:" alone leads.
  MakeDirectories(rooted + L"\\current");
  const std::vector<std::wstring> currentFolders = {L"=R:=R:\\current"};
  const struct {
    std::wstring runFrom;  // with its closing backslash
    std::wstring folder;   // the same folder through C:
  } cases[] = {{plain + L"\\", plain}, {thai + L"\\", thai}, {drive.root(), rooted}};
  for (const auto& test : cases) {
    SCOPED_TRACE(Narrow(test.runFrom));
    MakeDirectories(test.folder);
    const std::wstring probe = test.runFrom + L"log_probe.exe";
    ASSERT_TRUE(CopyFileW(BesideTests(L"log_probe.exe").c_str(), probe.c_str(), FALSE));
    WriteBytes(test.folder + L"\\debuglog.cfg", "");
    const RunResult run = testing_support::Run(probe, L"one", scratch.path(), currentFolders);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(LogRecordsIn(test.folder), "probe 1% one\n\r\n");
  }
}

TEST(LogPlaces, TheLogFolderCannotBeRenamedWhileARunHoldsIt) {
  ScratchDir dir(CurrentTestName());
  ASSERT_TRUE(CopyFileW(BesideTests(L"log_probe.exe").c_str(), (dir / L"log_probe.exe").c_str(), FALSE));
  WriteBytes(dir / L"debuglog.cfg", "");
  const KernelHandle release(CreateEventW(nullptr, TRUE, FALSE, L"log_probe_release"));
  ASSERT_TRUE(release);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  std::wstring commandLine = L"\"" + (dir / L"log_probe.exe") + L"\" first /hold";
  ASSERT_TRUE(CreateProcessW((dir / L"log_probe.exe").c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             dir.path().c_str(), &startup, &started));
  const KernelHandle probe(started.hProcess);
  CloseHandle(started.hThread);
  for (int waited = 0; ListFiles(dir / L"log").empty() && waited < 10000; waited += 20) Sleep(20);

  EXPECT_FALSE(MoveFileW((dir / L"log").c_str(), (dir / L"moved").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(probe.get(), 10000), WAIT_OBJECT_0);
  // Once the run has ended, nothing holds it.
  EXPECT_TRUE(MoveFileW((dir / L"log").c_str(), (dir / L"moved").c_str()));
  EXPECT_EQ(StripStamps(ReadBytes(dir / (L"moved\\" + ListFiles(dir / L"moved").at(0)))), "probe 1% first\n\r\n");
}

}  // namespace testing_support
