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
// that is neither here nor in kCannotFail fails the run, so none is skipped in silence.
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

// Calls left out, each with the reason. Those of them in the table above are patched only
// to see what they release.
const std::map<std::string, const char*> kCannotFail = {
    {"GetLastError", "reads the thread's last-error code"},
    {"SetLastError", "writes the thread's last-error code; no result"},
    {"GetCurrentProcess", "a constant pseudo-handle"},
    {"GetCurrentProcessId", "the process's own ID"},
    {"GetProcessHeap", "the process heap, there from the start"},
    {"GetTickCount", "the tick counter; the service tests script it"},
    {"Sleep", "no result"},
    {"SetupCloseInfFile", "no result"},
};

// The documented last error of each failure where it is not ERROR_ACCESS_DENIED; 0 for
// calls that set none.
DWORD FailureError(const std::string& name) {
  static const std::map<std::string, DWORD> errors = {
      {"CompareStringOrdinal", ERROR_INVALID_PARAMETER},
      {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
      {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER},
      {"GetProcAddress", ERROR_PROC_NOT_FOUND},
      {"LoadLibraryExW", ERROR_MOD_NOT_FOUND},
      {"LoadLibraryW", ERROR_MOD_NOT_FOUND},
      {"GetModuleHandleW", ERROR_MOD_NOT_FOUND},
      {"HeapAlloc", 0},
      {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY},
      {"CloseHandle", ERROR_INVALID_HANDLE},
      {"CloseServiceHandle", ERROR_INVALID_HANDLE},
      {"SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE},
      {"FreeLibrary", ERROR_INVALID_HANDLE},
      {"HeapFree", ERROR_INVALID_PARAMETER},
      {"LocalFree", ERROR_INVALID_HANDLE},
      {"OpenProcess", ERROR_INVALID_PARAMETER},
  };
  const auto found = errors.find(name);
  return found == errors.end() ? ERROR_ACCESS_DENIED : found->second;
}

bool FailsWithInvalidHandle(const std::string& name) {
  return name == "CreateFileW" || name == "CreateToolhelp32Snapshot" || name == "SetupDiGetClassDevsW" ||
         name == "SetupOpenInfFileW";
}

// Calls that release what their argument at that index holds.
int ReleasedArgument(const std::string& name) {
  static const std::map<std::string, int> releases = {
      {"CloseHandle", 0}, {"RegCloseKey", 0}, {"CloseServiceHandle", 0}, {"SetupDiDestroyDeviceInfoList", 0},
      {"FreeLibrary", 0}, {"LocalFree", 0},   {"HeapFree", 2},           {"SetupCloseInfFile", 0},
  };
  const auto found = releases.find(name);
  return found == releases.end() ? -1 : found->second;
}

// Pointers that calls hand out without giving them to the caller to close.
bool Borrowed(const std::string& name) { return name == "GetModuleHandleW" || name == "GetProcAddress"; }

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

// The first argument, where it has the result's type.
template <typename R, typename First, typename... Rest>
R FirstIf(First first, Rest... /*rest*/) {
  if constexpr (std::is_same_v<R, First>) {
    return first;
  } else {
    return nullptr;
  }
}

template <typename R>
bool Succeeded(R result) {
  if constexpr (std::is_same_v<R, LONG>) return result == ERROR_SUCCESS;  // the registry's status
  if constexpr (std::is_pointer_v<R>) return result != nullptr && AsHandle(result) != INVALID_HANDLE_VALUE;
  return result != R{};
}

template <typename R, typename... A>
R FailureResult(const std::string& name, A... arguments) {
  if constexpr (std::is_same_v<R, LONG> || std::is_same_v<R, DWORD>) {
    // The registry's and the driver-install library's calls give their error as the result.
    if (name.starts_with("Reg") || name.starts_with("DriverPackage")) return static_cast<R>(ERROR_ACCESS_DENIED);
  }
  if constexpr (std::is_same_v<R, LONG>) {
    return ERROR_ACCESS_DENIED;
  } else {
    if (const DWORD error = FailureError(name)) SetLastError(error);
    if constexpr (std::is_function_v<std::remove_pointer_t<R>>) {
      return nullptr;
    } else if constexpr (std::is_pointer_v<R>) {
      if (name == "LocalFree") {  // gives the block back
        return FirstIf<R>(arguments...);
      }
      return FailsWithInvalidHandle(name) ? static_cast<R>(INVALID_HANDLE_VALUE) : nullptr;
    } else if (name.starts_with("CM_")) {
      return static_cast<R>(CR_FAILURE);
    } else if (name == "GetFileAttributesW") {
      return static_cast<R>(INVALID_FILE_ATTRIBUTES);
    } else {
      return R{};
    }
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
    const int released = ReleasedArgument(name);
    if (released >= 0) {
      const void* handle = nullptr;
      size_t index = 0;
      ((handle = index++ == static_cast<size_t>(released) ? AsHandle(arguments) : handle), ...);
      g_run.open.erase(handle);
    }
    if (!kCannotFail.contains(name) && ++g_run.calls == g_run.failAt) {
      g_run.failed = name;
      // A release that fails has still released (a failed close leaves nothing to close).
      if (released >= 0) real(arguments...);
      (Mislead(arguments), ...);
      if constexpr (std::is_void_v<R>) {
        return;  // never: the calls without a result cannot fail
      } else {
        return FailureResult<R>(name, arguments...);
      }
    }
    if constexpr (std::is_void_v<R>) {
      real(arguments...);
    } else {
      R result = real(arguments...);
      if constexpr (std::is_same_v<R, FARPROC>) result = HookInstead(result, arguments...);
      if (Succeeded(result)) {
        if constexpr (std::is_pointer_v<R>) {
          if (released < 0 && !Borrowed(name)) g_run.open[AsHandle(result)] = name;
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
  std::string* hookName;
};

enum PointIndex : size_t {
#define FAULT_INDEX(function) k##function,
  FAULT_POINTS(FAULT_INDEX) RUNTIME_POINTS(FAULT_INDEX)
#undef FAULT_INDEX
};

const std::vector<Point>& Points() {
#define FAULT_POINT(function)                                                                                          \
  {#function,                                                                                                          \
   reinterpret_cast<const void*>(static_cast<decltype(&(function))>(&Hook<k##function, decltype(&(function))>::Call)), \
   &Hook<k##function, decltype(&(function))>::original, &Hook<k##function, decltype(&(function))>::name},
  static const std::vector<Point> points = {FAULT_POINTS(FAULT_POINT)};
  return points;
}

const std::vector<Point>& RuntimePoints() {
  static const std::vector<Point> points = {RUNTIME_POINTS(FAULT_POINT)};
#undef FAULT_POINT
  return points;
}

FARPROC HookInstead(FARPROC real, HMODULE /*module*/, const char* name) {
  if (!real || IS_INTRESOURCE(name)) return real;
  for (const Point& point : RuntimePoints()) {
    if (std::strcmp(point.name, name) != 0) continue;
    *point.original = reinterpret_cast<void*>(real);
    *point.hookName = point.name;
    return reinterpret_cast<FARPROC>(const_cast<void*>(point.hook));
  }
  ADD_FAILURE() << "the product looks up " << name << ", which the fault injection cannot fail: give it a failure";
  return real;
}

// The system library of the test executable's imports that supplies `function`; empty when
// it imports none of that name (the C runtime's are left out: they are no platform calls).
std::string ImportingLibrary(const std::string& function) {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       imports.VirtualAddress && descriptor->Name; ++descriptor) {
    const std::string dll = reinterpret_cast<const char*>(base + descriptor->Name);
    if (_stricmp(dll.c_str(), "msvcrt.dll") == 0) continue;
    const DWORD namesRva = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    for (const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + namesRva); names->u1.AddressOfData;
         ++names) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (function == reinterpret_cast<const char*>(byName->Name)) return dll;
    }
  }
  return {};
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
  int exit = 0;
  bool crashed = false;
  DWORD elapsed = 0;
  std::string failed;
  std::map<const void*, std::string> open;
  std::string out;
  std::string log;
};

int g_exit = 0;

// NOLINTNEXTLINE(readability-function-cognitive-complexity)
Outcome RunOnce(const Operation& operation, size_t failAt, const std::function<DWORD()>& clock) {
  operation.prepare();
  Outcome outcome;
  const LogTail tail;
  StdoutCapture capture;
  const DWORD start = clock ? clock() : GetTickCount();
  g_run = RunState();
  g_run.failAt = failAt;
  g_exception = 0;
  g_exit = -1;
  if (__builtin_setjmp(g_resume) == 0) {
    g_inRun = true;
    g_run.active = true;
    try {
      g_exit = operation.run();
    } catch (...) {
      g_exception = 1;
    }
  }
  g_run.active = false;
  g_inRun = false;
  outcome.elapsed = (clock ? clock() : GetTickCount()) - start;
  outcome.out = capture.Finish();
  outcome.log = tail.Records();  // each record with its time stamp, or the test fails
  outcome.exit = g_exit;
  outcome.crashed = g_exception != 0;
  outcome.open = g_run.open;
  outcome.failed = g_run.failed.empty() ? "nothing" : g_run.failed;
  return outcome;
}

// The lines the product can print: a line is a run of its pieces (written by the build,
// with '*' for any text and '?' for what non-ASCII characters became); an output may end without a line feed only in a
// piece that a text ends with.
struct KnownLines {
  std::vector<std::string> pieces;
  std::vector<bool> ends;
  std::map<std::pair<std::string, bool>, bool> seen;  // the runs print the same lines again and again

  bool Knows(const std::string& line, bool last) {
    const auto [known, added] = seen.try_emplace({line, last});
    if (added) known->second = Match(line, last);
    return known->second;
  }
  // Runs all the pieces side by side over the line: at[p][k] says that piece p can have
  // matched its first k characters. A piece starts at the line's start and wherever a
  // piece ended, having taken at least one character; '*' takes any number of characters,
  // '?' one or more that are not ASCII letters or digits.
  bool Match(const std::string& line, bool last) const {
    std::vector<std::vector<char>> at(pieces.size());
    std::vector<char> next;
    for (size_t p = 0; p < pieces.size(); ++p) at[p].assign(pieces[p].size() + 1, 0);
    const auto skipStars = [&](size_t p) {
      for (size_t k = 0; k < pieces[p].size(); ++k) {
        if (at[p][k] && pieces[p][k] == '*') at[p][k + 1] = 1;
      }
    };
    for (size_t i = 0;; ++i) {
      bool ended = i == 0;
      bool endedRight = false;
      for (size_t p = 0; i > 0 && p < pieces.size(); ++p) {  // takes line[i - 1]
        next.assign(at[p].size(), 0);
        const char c = line[i - 1];
        for (size_t k = 0; k < pieces[p].size(); ++k) {
          if (!at[p][k]) continue;
          const char want = pieces[p][k];
          const bool foreign = want == '?' && !std::isalnum(static_cast<unsigned char>(c));
          if (want == '*' || foreign) next[k] = 1;  // takes the character and stays
          if (foreign || want == c) next[k + 1] = 1;
        }
        at[p].swap(next);
        skipStars(p);
        ended = ended || at[p].back();
        endedRight = endedRight || (at[p].back() && (!last || ends[p]));
      }
      if (i == line.size()) return endedRight;
      for (size_t p = 0; ended && p < pieces.size(); ++p) {
        at[p][0] = 1;
        skipStars(p);
      }
    }
  }
};
KnownLines ReadKnownLines(const std::wstring& path) {
  KnownLines known;
  std::istringstream list(ReadBytes(path));
  for (std::string piece; std::getline(list, piece);) {
    known.ends.push_back(piece.starts_with('~'));
    known.pieces.push_back(piece.substr(known.ends.back() ? 1 : 0));
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
  std::vector<std::unique_ptr<ImportPatch>> patches;
  std::istringstream list(ReadBytes(importList));
  EXPECT_TRUE(FileExists(importList)) << "no list of the product's imports beside the tests";
  for (std::string function; std::getline(list, function);) {
    const std::string dll = ImportingLibrary(function);
    if (dll.empty()) continue;  // not a system library's (the C runtime's, or the product's own)
    bool found = kCannotFail.contains(function);
    for (const Point& point : Points()) {
      if (function != point.name) continue;
      found = true;
      patches.push_back(std::make_unique<ImportPatch>(dll.c_str(), point.name, point.hook));
      *point.original = patches.back()->Original<void*>();
      *point.hookName = point.name;
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
        calls = g_run.calls;
      } else {
        ++totals.points;
      }
      const std::string where = operation.name + ", call " + std::to_string(k) + " (" + run.failed + ") failing: ";
      if (run.crashed) {
        ++totals.crashes;
        ADD_FAILURE() << where << "crash 0x" << std::hex << g_exception;
        continue;
      }
      const DWORD limit = operation.budget ? operation.budget + 5000 : 20000;
      if (run.elapsed > limit) {
        ++totals.hangs;
        ADD_FAILURE() << where << "took " << run.elapsed << " ms";
      }
      // A failed call of the driver-install library gives its code as the result.
      const bool libraryCode = operation.libraryResults && run.failed.starts_with("DriverPackage") &&
                               run.exit == static_cast<int>(ERROR_ACCESS_DENIED);
      if (!operation.exits.contains(run.exit) && !libraryCode) {
        ++totals.oddExits;
        ADD_FAILURE() << where << "exit code " << run.exit << "\n" << run.out;
      }
      for (const auto& [output, text] : {std::pair{"console", run.out}, std::pair{"log", run.log}}) {
        if (const auto stray = StrayLine(text, known)) ADD_FAILURE() << where << output << " line: " << *stray;
      }
      if (!run.open.empty()) {
        ++totals.leaks;
        for (const auto& [handle, opener] : run.open) ADD_FAILURE() << where << "left open what " << opener << " gave";
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
