#include "fault_injection.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <psapi.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ios>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "debuglog.h"
#include "import_patch.h"
#include "test_support.h"

namespace testing_support::faults {

// The driver-install library's calls, as it documents them; never called by name.
// NOLINTBEGIN(misc-use-internal-linkage)
DWORD WINAPI DriverPackagePreinstallW(PCWSTR infPath, DWORD flags);
DWORD WINAPI DriverPackageGetPathW(PCWSTR infPath, PWSTR storeInfPath, DWORD* capacity);
DWORD WINAPI DriverPackageUninstallW(PCWSTR storeInfPath, DWORD flags, const void* installerInfo, BOOL* needReboot);
// NOLINTEND(misc-use-internal-linkage)

namespace {

// Every call that the product code may make and that can fail. The build's list of what
// the product libraries import decides which of them are patched; a call in that list
// that is neither here nor left out in kFacts below fails the run, so none is skipped in silence.
// clang-format off
#define FAULT_POINTS(X)                                                                                    \
  X(CloseHandle) X(CompareStringOrdinal) X(CopyFileW) X(CreateDirectoryW) X(CreateFileW)                   \
  X(CreateToolhelp32Snapshot) X(FreeLibrary) X(GetConsoleMode) X(GetFileAttributesW)                       \
  X(GetFileInformationByHandle) X(GetFinalPathNameByHandleW) X(GetFullPathNameW) X(GetModuleFileNameW)     \
  X(GetModuleHandleW) X(GetProcAddress) X(GetProcessTimes) X(GetSystemDirectoryW) X(HeapAlloc) X(HeapFree) \
  X(LoadLibraryExW) X(LoadLibraryW) X(LocalFree) X(MultiByteToWideChar) X(OpenProcess) X(Process32FirstW)  \
  X(Process32NextW) X(QueryFullProcessImageNameW) X(SetDllDirectoryW) X(TerminateProcess)                  \
  X(WideCharToMultiByte) X(WriteConsoleW) X(WriteFile)                                                     \
  X(EnumProcessModules) X(EnumProcesses) X(GetModuleFileNameExW)                                           \
  X(AdjustTokenPrivileges) X(ChangeServiceConfig2W) X(CloseServiceHandle) X(ControlService)                \
  X(CreateServiceW) X(DeleteService) X(EnumDependentServicesW) X(LookupPrivilegeValueW) X(OpenProcessToken) \
  X(OpenSCManagerW) X(OpenServiceW) X(QueryServiceLockStatusW) X(QueryServiceStatusEx) X(RegCloseKey)      \
  X(RegCreateKeyExW) X(RegGetValueW) X(RegOpenKeyExW) X(RegSetValueExW) X(StartServiceW)                   \
  X(CommandLineToArgvW) X(PathFileExistsW)                                                                 \
  X(CM_Get_DevNode_Status) X(SetupCopyOEMInfW) X(SetupDiDestroyDeviceInfoList) X(SetupDiEnumDeviceInfo)    \
  X(SetupDiGetClassDevsW) X(SetupDiGetDeviceRegistryPropertyW) X(SetupDiSetDeviceRegistryPropertyW)        \
  X(SetupFindFirstLineW) X(SetupFindNextLine) X(SetupGetStringFieldW) X(SetupOpenInfFileW)                 \
  X(SetupCloseInfFile) X(UpdateDriverForPlugAndPlayDevicesW)

// The calls that the product looks up at run time, through GetProcAddress, which then hands
// out the hook in their place. The driver-install library's are declared here as it
// documents them.
#define RUNTIME_POINTS(X) \
  X(DriverPackagePreinstallW) X(DriverPackageGetPathW) X(DriverPackageUninstallW) X(SetDefaultDllDirectories) \
  X(IsWow64Process)
// clang-format on

// What the harness knows of a call beyond its type. A call with no entry fails with
// ERROR_ACCESS_DENIED as its last error and the zero, null or FALSE of its result type;
// what it returns, or writes to an HKEY or HANDLE output, is the caller's to close.
struct Facts {
  DWORD error = ERROR_ACCESS_DENIED;  // the last error its failure documents; 0: it sets none
  DWORD result = 0;                   // the result of its failure, where it is a number
  int released = -1;                  // the index of the argument whose handle it releases
  bool invalidHandle = false;         // fails with INVALID_HANDLE_VALUE rather than null
  bool borrowed = false;              // what it gives is not the caller's to close
  const char* cannotFail = nullptr;   // why it is never failed (those in the table above are
                                      // patched only to see what they release)
};
constexpr Facts kStatus{.error = 0, .result = ERROR_ACCESS_DENIED};  // gives its error as its result
const std::map<std::string, Facts, std::less<>> kFacts = {
    {"GetLastError", {.cannotFail = "reads the thread's last-error code"}},
    {"SetLastError", {.cannotFail = "writes the thread's last-error code; no result"}},
    {"GetCurrentProcess", {.cannotFail = "a constant pseudo-handle"}},
    {"GetCurrentProcessId", {.cannotFail = "the process's own ID"}},
    {"GetProcessHeap", {.cannotFail = "the process heap, there from the start"}},
    {"GetTickCount", {.cannotFail = "the tick counter; the service tests script it"}},
    {"Sleep", {.cannotFail = "no result"}},
    {"SetupCloseInfFile", {.released = 0, .cannotFail = "no result"}},
    {"CompareStringOrdinal", {.error = ERROR_INVALID_PARAMETER}},
    {"MultiByteToWideChar", {.error = ERROR_NO_UNICODE_TRANSLATION}},
    {"WideCharToMultiByte", {.error = ERROR_INSUFFICIENT_BUFFER}},
    {"GetProcAddress", {.error = ERROR_PROC_NOT_FOUND, .borrowed = true}},
    {"GetModuleHandleW", {.error = ERROR_MOD_NOT_FOUND, .borrowed = true}},
    {"LoadLibraryExW", {.error = ERROR_MOD_NOT_FOUND}},
    {"LoadLibraryW", {.error = ERROR_MOD_NOT_FOUND}},
    {"HeapAlloc", {.error = 0}},
    {"CommandLineToArgvW", {.error = ERROR_NOT_ENOUGH_MEMORY}},
    {"OpenProcess", {.error = ERROR_INVALID_PARAMETER}},
    {"GetFileAttributesW", {.result = INVALID_FILE_ATTRIBUTES}},
    {"CM_Get_DevNode_Status", {.error = 0, .result = CR_FAILURE}},
    {"CloseHandle", {.error = ERROR_INVALID_HANDLE, .released = 0}},
    {"CloseServiceHandle", {.error = ERROR_INVALID_HANDLE, .released = 0}},
    {"SetupDiDestroyDeviceInfoList", {.error = ERROR_INVALID_HANDLE, .released = 0}},
    {"FreeLibrary", {.error = ERROR_INVALID_HANDLE, .released = 0}},
    {"LocalFree", {.error = ERROR_INVALID_HANDLE, .released = 0}},  // and gives the block back
    {"HeapFree", {.error = ERROR_INVALID_PARAMETER, .released = 2}},
    {"RegCloseKey", {.error = 0, .result = ERROR_ACCESS_DENIED, .released = 0}},
    {"RegCreateKeyExW", kStatus},
    {"RegGetValueW", kStatus},
    {"RegOpenKeyExW", kStatus},
    {"RegSetValueExW", kStatus},
    {"DriverPackagePreinstallW", kStatus},
    {"DriverPackageGetPathW", kStatus},
    {"DriverPackageUninstallW", kStatus},
    {"CreateFileW", {.invalidHandle = true}},
    {"CreateToolhelp32Snapshot", {.invalidHandle = true}},
    {"SetupDiGetClassDevsW", {.invalidHandle = true}},
    {"SetupOpenInfFileW", {.invalidHandle = true}},
};

const Facts& FactsOf(const std::string& name) {
  static const Facts kDefault;
  const auto found = kFacts.find(name);
  return found == kFacts.end() ? kDefault : found->second;
}

// What a run does and what its calls opened.
struct RunState {
  bool active = false;
  size_t calls = 0;
  size_t failAt = 0;  // 1-based; 0 fails nothing
  std::string failed;
  std::map<const void*, std::string> open;
};
RunState g_run;

void* const kMisleading = reinterpret_cast<void*>(0x1230);  // in the never-mapped first 64 KiB

// Sets an output that the documentation leaves undefined after a failure to a value that
// would mislead a caller reading it.
template <typename A>
void Mislead(A argument) {
  if constexpr (std::is_pointer_v<A> && !std::is_const_v<std::remove_pointer_t<A>>) {
    using Pointee = std::remove_pointer_t<A>;
    if (argument == nullptr) return;
    if constexpr (std::is_same_v<Pointee, int> || std::is_same_v<Pointee, long> ||
                  std::is_same_v<Pointee, unsigned long> || std::is_same_v<Pointee, unsigned int>) {
      *argument = 1;  // TRUE for a flag, a non-zero count or size
    } else if constexpr (std::is_pointer_v<Pointee> && !std::is_function_v<std::remove_pointer_t<Pointee>>) {
      *argument = reinterpret_cast<Pointee>(kMisleading);  // a non-null handle or pointer
    }
  }
}

// The argument as a handle, for the calls that release one.
template <typename A>
const void* AsHandle(A argument) {
  if constexpr (std::is_pointer_v<A> && !std::is_function_v<std::remove_pointer_t<A>>) {
    return static_cast<const void*>(argument);
  } else {
    return nullptr;
  }
}

template <typename A>
void NoteOpened(const std::string& name, A argument) {
  if constexpr (std::is_same_v<A, HKEY*> || std::is_same_v<A, HANDLE*>) {
    if (argument && *argument) g_run.open[*argument] = name;
  }
}

template <typename R>
bool Succeeded(R result) {
  if constexpr (std::is_same_v<R, LONG>) return result == ERROR_SUCCESS;  // the registry's status
  if constexpr (std::is_pointer_v<R>) return result != nullptr && AsHandle(result) != INVALID_HANDLE_VALUE;
  return result != R{};
}

// `released`: the handle that a failing release was given.
template <typename R>
R FailureResult(const Facts& facts, const void* released) {
  if (facts.error) SetLastError(facts.error);
  if constexpr (std::is_function_v<std::remove_pointer_t<R>>) {
    return nullptr;
  } else if constexpr (std::is_pointer_v<R>) {
    if (released) return static_cast<R>(const_cast<void*>(released));  // LocalFree gives the block back
    return facts.invalidHandle ? static_cast<R>(INVALID_HANDLE_VALUE) : nullptr;
  } else {
    return static_cast<R>(facts.result);
  }
}

template <size_t kIndex, typename F>
struct Hook;

FARPROC HookInstead(FARPROC real, HMODULE module, const char* name);

// Counts the call; fails it when its turn has come, else forwards it, noting what it
// opened and released. The same calling convention as the system's, which the table
// checks by converting Call to the system function's type.
template <size_t kIndex, typename R, typename... A>
struct Hook<kIndex, R(WINAPI*)(A...)> {
  static inline void* original = nullptr;
  static inline std::string name;

  static R WINAPI Call(A... arguments) {
    const auto real = reinterpret_cast<R(WINAPI*)(A...)>(original);
    if (!g_run.active) return real(arguments...);
    const Facts& facts = FactsOf(name);
    const int released = facts.released;
    const void* handle = nullptr;
    if (released >= 0) {
      size_t index = 0;
      ((handle = index++ == static_cast<size_t>(released) ? AsHandle(arguments) : handle), ...);
      g_run.open.erase(handle);
    }
    if (!facts.cannotFail && ++g_run.calls == g_run.failAt) {
      g_run.failed = name;
      // A release that fails has still released (a failed close leaves nothing to close).
      if (released >= 0) real(arguments...);
      (Mislead(arguments), ...);
      if constexpr (std::is_void_v<R>) {
        return;  // never: the calls without a result cannot fail
      } else {
        return FailureResult<R>(facts, handle);
      }
    }
    if constexpr (std::is_void_v<R>) {
      real(arguments...);
    } else {
      R result = real(arguments...);
      if constexpr (std::is_same_v<R, FARPROC>) result = HookInstead(result, arguments...);
      if (Succeeded(result)) {
        if constexpr (std::is_pointer_v<R>) {
          if (released < 0 && !facts.borrowed) g_run.open[AsHandle(result)] = name;
        }
        (NoteOpened(name, arguments), ...);
      }
      return result;
    }
  }
};

struct Point {
  const char* name;
  const void* hook;
  void** original;
};

// A point with a hook of its own: kIndex tells apart the calls of one type.
template <size_t kIndex, typename F>
Point MakePoint(const char* name) {
  using Own = Hook<kIndex, F>;
  Own::name = name;
  return {name, reinterpret_cast<const void*>(static_cast<F>(&Own::Call)), &Own::original};
}

const std::vector<Point>& Points() {
#define FAULT_POINT(function) MakePoint<__COUNTER__, decltype(&(function))>(#function),
  static const std::vector<Point> points = {FAULT_POINTS(FAULT_POINT) RUNTIME_POINTS(FAULT_POINT)};
#undef FAULT_POINT
  return points;
}

FARPROC HookInstead(FARPROC real, HMODULE /*module*/, const char* name) {
  if (!real || IS_INTRESOURCE(name)) return real;
  for (const Point& point : Points()) {
    if (std::strcmp(point.name, name) != 0) continue;
    *point.original = reinterpret_cast<void*>(real);
    return reinterpret_cast<FARPROC>(const_cast<void*>(point.hook));
  }
  ADD_FAILURE() << "the product looks up " << name << ", which the fault injection cannot fail: give it a failure";
  return real;
}

// A structured exception in a run ends the run: the faulting thread resumes in Resume,
// which jumps back to where the run started.
void* g_resume[5] = {};
DWORD g_exception = 0;
bool g_inRun = false;

[[noreturn]] void Resume() { __builtin_longjmp(g_resume, 1); }

LONG WINAPI OnException(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (!g_inRun || (code & 0xF0000000u) != 0xC0000000u) return EXCEPTION_CONTINUE_SEARCH;
  g_exception = code;
  g_inRun = false;
#if defined(_WIN64)
  pointers->ContextRecord->Rsp = (pointers->ContextRecord->Rsp & ~DWORD64{15}) - 8;
  pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&Resume);
#else
  pointers->ContextRecord->Esp &= ~DWORD{15};
  pointers->ContextRecord->Eip = reinterpret_cast<DWORD>(&Resume);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct Outcome {
  RunState state;       // what the calls did
  DWORD exception = 0;  // the structured exception that ended the run; 1: a C++ exception
  int exit = -1;
  DWORD elapsed = 0;
  std::string out;
  std::string log;
};

Outcome RunOnce(const Operation& operation, size_t failAt, const std::function<DWORD()>& clock) {
  operation.prepare();
  static Outcome outcome;  // static: the run may end in a jump back to here
  outcome = Outcome();
  const LogTail tail;
  StdoutCapture capture;
  const DWORD start = clock ? clock() : GetTickCount();
  g_run = RunState();
  g_run.failAt = failAt;
  g_exception = 0;
  if (__builtin_setjmp(g_resume) == 0) {
    g_inRun = true;
    g_run.active = true;
    try {
      outcome.exit = operation.run();
    } catch (...) {
      g_exception = 1;
    }
  }
  g_run.active = false;
  g_inRun = false;
  outcome.elapsed = (clock ? clock() : GetTickCount()) - start;
  outcome.out = capture.Finish();
  outcome.log = tail.Records();  // each record with its time stamp, or the test fails
  outcome.state = g_run;
  outcome.exception = g_exception;
  if (outcome.state.failed.empty()) outcome.state.failed = "nothing";
  return outcome;
}

// The lines the product can print: each line is a run of the pieces that the build lists,
// in which '*' stands for any text and '?' for one or more characters other than ASCII
// letters and digits (what the console's code page made of non-ASCII ones). An output may
// end without a line feed only in a piece marked '~', which a text of the product ends with.
struct KnownLines {
  std::vector<std::pair<std::string, bool>> pieces;   // each with whether an output may end in it
  std::map<std::pair<std::string, bool>, bool> seen;  // the runs print the same lines again and again

  bool Knows(const std::string& line, bool last) {
    const auto [known, added] = seen.try_emplace({line, last});
    if (added) known->second = Match(line, last);
    return known->second;
  }
  // Where a match of `piece` that starts at line[i] can end.
  static std::set<size_t> Ends(const std::string& piece, const std::string& line, size_t i) {
    std::set<size_t> at = {i};
    for (const char want : piece) {
      std::set<size_t> next;
      for (const size_t k : at) {
        if (want == '*') {
          for (size_t j = k; j <= line.size(); ++j) next.insert(j);
        } else if (want == '?') {
          for (size_t j = k; j < line.size() && !std::isalnum(static_cast<unsigned char>(line[j])); ++j)
            next.insert(j + 1);
        } else if (k < line.size() && line[k] == want) {
          next.insert(k + 1);
        }
      }
      at.swap(next);
    }
    return at;
  }
  bool Match(const std::string& line, bool last) const {
    std::vector<bool> reached(line.size() + 1);  // a run of pieces can end before line[i]
    reached[0] = true;
    for (size_t i = 0; i < line.size(); ++i) {
      if (!reached[i]) continue;
      for (const auto& [piece, ending] : pieces) {
        for (const size_t end : Ends(piece, line, i)) {
          if (end > i && (end < line.size() || !last || ending)) reached[end] = true;
        }
      }
    }
    return reached[line.size()];
  }
};
KnownLines ReadKnownLines(const std::wstring& path) {
  KnownLines known;
  std::istringstream list(ReadBytes(path));
  for (std::string piece; std::getline(list, piece);) {
    const bool ending = piece.starts_with('~');
    known.pieces.emplace_back(piece.substr(ending ? 1 : 0), ending);
  }
  EXPECT_FALSE(known.pieces.empty()) << "no list of the product's lines beside the tests";
  return known;
}

// The first line of an output that the product cannot print, or that it cannot end with.
std::optional<std::string> StrayLine(const std::string& text, KnownLines& known) {
  for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();
    if (!line.empty() && !known.Knows(line, end == text.size())) return line;
  }
  return std::nullopt;
}

}  // namespace

Totals RunAll(const std::vector<Operation>& operations, const std::wstring& importList,
              const std::function<DWORD()>& clock) {
  // The system library that the test executable imports each call from; the C runtime's
  // calls are no platform calls, and the product's own are no imports.
  std::map<std::string, std::string> libraries;
  ForEachImport([&](const char* dll, const char* function, void** /*slot*/) {
    if (_stricmp(dll, "msvcrt.dll") != 0) libraries.try_emplace(function, dll);
  });
  std::vector<std::unique_ptr<ImportPatch>> patches;
  std::istringstream list(ReadBytes(importList));
  EXPECT_TRUE(FileExists(importList)) << "no list of the product's imports beside the tests";
  for (std::string function; std::getline(list, function);) {
    const auto library = libraries.find(function);
    if (library == libraries.end()) continue;
    const std::string& dll = library->second;
    bool found = FactsOf(function).cannotFail != nullptr;
    for (const Point& point : Points()) {
      if (function != point.name) continue;
      found = true;
      patches.push_back(std::make_unique<ImportPatch>(dll.c_str(), point.name, point.hook));
      *point.original = patches.back()->Original<void*>();
    }
    EXPECT_TRUE(found) << "the product calls " << dll << "!" << function
                       << ", which the fault injection cannot fail: give it a failure or a reason";
  }

  std::wstring lines = importList;
  KnownLines known = ReadKnownLines(lines.replace(lines.rfind(L".imports"), std::wstring::npos, L".lines"));
  // The debug log holds its folder open for the life of the process, which is longer than
  // one run here: it is opened before the runs.
  DebugLog::Instance();
  PVOID handler = AddVectoredExceptionHandler(1, &OnException);
  Totals totals;
  for (const Operation& operation : operations) {
    ++totals.operations;
    // Run 0 fails nothing and counts the calls that the others fail one by one.
    size_t calls = 0;
    for (size_t k = 0; k <= calls; ++k) {
      const Outcome run = RunOnce(operation, k, clock);
      if (k == 0) {
        calls = run.state.calls;
      } else {
        ++totals.points;
      }
      const std::string where =
          operation.name + ", call " + std::to_string(k) + " (" + run.state.failed + ") failing: ";
      if (run.exception != 0) {
        ++totals.crashes;
        ADD_FAILURE() << where << "crash 0x" << std::hex << run.exception;
        continue;
      }
      const DWORD limit = operation.budget ? operation.budget + 5000 : 20000;
      if (run.elapsed > limit) {
        ++totals.hangs;
        ADD_FAILURE() << where << "took " << run.elapsed << " ms";
      }
      // A failed call of the driver-install library gives its code as the result.
      const bool libraryCode = operation.libraryResults && run.state.failed.starts_with("DriverPackage") &&
                               run.exit == static_cast<int>(ERROR_ACCESS_DENIED);
      if (!operation.exits.contains(run.exit) && !libraryCode) {
        ++totals.oddExits;
        ADD_FAILURE() << where << "exit code " << run.exit << "\n" << run.out;
      }
      for (const auto& [output, text] : {std::pair{"console", run.out}, std::pair{"log", run.log}}) {
        if (const auto stray = StrayLine(text, known)) ADD_FAILURE() << where << output << " line: " << *stray;
      }
      if (!run.state.open.empty()) {
        ++totals.leaks;
        for (const auto& [handle, opener] : run.state.open)
          ADD_FAILURE() << where << "left open what " << opener << " gave";
      }
    }
  }
  RemoveVectoredExceptionHandler(handler);
  std::printf(
      "fault injection: %zu points in %zu operations, %zu crashes, %zu hangs, %zu leaks, %zu undocumented exits\n",
      totals.points, totals.operations, totals.crashes, totals.hangs, totals.leaks, totals.oddExits);
  std::fflush(stdout);
  return totals;
}

}  // namespace testing_support::faults
