// Conversion and console output, in-process. The suite runs with the ANSI code page 1252.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <optional>

#include <gtest/gtest.h>

#include "console.h"
#include "import_patch.h"
#include "strtools.h"
#include "system_fakes.h"
#include "system_libraries.h"
#include "system_paths.h"
#include "test_support.h"
#include "unique_handle.h"

namespace testing_support {

TEST(StrTools, ConvertsToTheAnsiCodePage) {
  CComStrTools tools;
  EXPECT_STREQ(tools.ToNarrow(L"Apple Mobile Device"), "Apple Mobile Device");
  EXPECT_STREQ(tools.ToNarrow(L""), "");
  EXPECT_STREQ(tools.ToNarrow(nullptr), "");
  // Characters of code page 1252 keep their byte, others become the default character.
  EXPECT_STREQ(tools.ToNarrow(L"Gr\u00fc\u00dfe \u8def"), "Gr\xfc\xdf"
                                                          "e ?");
  EXPECT_STREQ(tools.ToWide("Gr\xfc\xdf"
                            "e"),
               L"Gr\u00fc\u00dfe");
  EXPECT_STREQ(tools.ToWide(""), L"");
  EXPECT_STREQ(tools.ToWide(nullptr), L"");
}

TEST(StrTools, EachConversionReplacesTheLastResult) {
  CComStrTools tools;
  const std::string first = tools.ToNarrow(L"first");
  const char* second = tools.ToNarrow(L"second, longer");
  EXPECT_EQ(first, "first");
  EXPECT_STREQ(second, "second, longer");
  const wchar_t* wide = tools.ToWide("wide");
  EXPECT_STREQ(wide, L"wide");
  tools.Release();
  EXPECT_STREQ(tools.ToNarrow(L"again"), "again");
}

TEST(StrTools, SwitchComparisonFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/i", L"/i"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/I", L"/i"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/rE", L"/re"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/STARTSVC", L"/startsvc"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"/ix", L"/i"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"/i", L"/ix"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"-i", L"/i"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"", L"/i"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"", L""));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(L"USB\\Vid_05AC", L"usb\\vid_05ac"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"/\u00c9", L"/\u00e9"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(L"/[", L"/{"));  // not letters, though 32 apart
}

TEST(Console, WideStringArgumentWithNonAsciiTextIsPrintedWhole) {
  StdoutCapture capture;
  OutW(L"drv inf path : %s \n", L"C:\\Gr\u00fc\u00dfe\\\u8def\u5f84\\usbaapl.inf");
  EXPECT_EQ(capture.Finish(), "drv inf path : C:\\Gr\xfc\xdf"
                              "e\\??\\usbaapl.inf \r\n");
}

TEST(Console, WideChineseTextKeepsTheRestOfTheLine) {
  StdoutCapture capture;
  // "打开文件失败：%s \n": failed to open file %s
  OutW(L"\u6253\u5f00\u6587\u4ef6\u5931\u8d25\uff1a%s \n", L"C:\\x.inf");
  // The full-width colon has a best-fit narrow form.
  EXPECT_EQ(capture.Finish(), "??????:C:\\x.inf \r\n");
}

TEST(Console, NarrowBytesPassUnchanged) {
  StdoutCapture capture;
  // GBK bytes of "没有可用设备描述符": no usable device descriptor
  OutA("\xc3\xbb\xd3\xd0\xbf\xc9\xd3\xc3\xc9\xe8\xb1\xb8\xc3\xe8\xca\xf6\xb7\xfb \n");
  OutA("\t SetupCopyOEMInf error (%ld)\n", static_cast<long>(0xE0000203u));
  EXPECT_EQ(capture.Finish(), "\xc3\xbb\xd3\xd0\xbf\xc9\xd3\xc3\xc9\xe8\xb1\xb8\xc3\xe8\xca\xf6\xb7\xfb \r\n"
                              "\t SetupCopyOEMInf error (-536870397)\r\n");
}

TEST(Console, ErrorCodesPrintSignedAndOutputKeepsTheLastError) {
  StdoutCapture capture;
  SetLastError(0xE000020Bu);
  OutW(L"%s \t OpenService failed (%d)\n", L"iPod Service", GetLastError());
  EXPECT_EQ(GetLastError(), 0xE000020Bu);
  OutW(L"(%ld)", GetLastError());
  EXPECT_EQ(GetLastError(), 0xE000020Bu);
  EXPECT_EQ(capture.Finish(), "iPod Service \t OpenService failed (-536870389)\r\n(-536870389)");
}

TEST(Console, EchoPairsPrintThenLogTheirOwnLiterals) {
  CComStrTools tools;
  const Captured echoed = Capture([&] {
    SetLastError(5);
    EchoW(TOOLS_TWIN("LoadLirary err: %ld"), LastErrorCode());
    EchoA("narrow (%ld)\n", "narrow log (%ld)\n", LastErrorCode());
    EchoW(TOOLS_TWIN(" Driver Update Successed!\n"));
    EchoA(TOOLS_TWIN_A("usbappl already exist: %ld \n"), 183L);
    EchoText(tools, TOOLS_TWIN("inf usb path: %s\n"), L"C:\\Windows\\INF\\oem3.inf");
    EchoText(tools, TOOLS_TWIN("%s \t StartService failed (%d)\n"), L"iPod Service", 1053);
  });
  EXPECT_EQ(echoed.out, "LoadLirary err: 5narrow (5)\r\n Driver Update Successed!\r\nusbappl already exist: 183 \r\n"
                        "inf usb path: C:\\Windows\\INF\\oem3.inf\r\niPod Service \t StartService failed (1053)\r\n");
  EXPECT_EQ(echoed.log, "LoadLirary err: 5\r\nnarrow log (5)\n\r\n Driver Update Successed!\n\r\n"
                        "usbappl already exist: 183 \n\r\ninf usb path: C:\\Windows\\INF\\oem3.inf\n\r\n"
                        "iPod Service \t StartService failed (1053)\n\r\n");
}

TEST(Console, NothingToPrintOrNoStandardOutputIsNoFault) {
  {
    StdoutCapture capture;
    OutW(L"");
    OutA("%s", "");
    EXPECT_EQ(capture.Finish(), "");
  }
  // Started without standard output: the text goes nowhere, and nothing else changes.
  fflush(stdout);
  const int saved = _dup(1);
  ASSERT_GE(saved, 0);
  _close(1);
  SetLastError(0xE000020Bu);
  OutW(L"lost %s\n", L"text");
  const DWORD error = GetLastError();
  _dup2(saved, 1);
  _close(saved);
  clearerr(stdout);
  EXPECT_EQ(error, 0xE000020Bu);
}

TEST(SystemPaths, FolderOfAFileAndANameInAFolder) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;
  } folders[] = {{L"C:\\tools\\Tallow.exe", L"C:\\tools"},
                 {L"R:\\Tallow.exe", L"R:\\"},
                 {L"\\Tallow.exe", L""},
                 {L"Tallow.exe", L"Tallow.exe"}};
  for (const auto& test : folders) EXPECT_EQ(FolderOf(test.path), test.folder) << Narrow(test.path);
  const struct {
    const wchar_t* folder;
    const wchar_t* joined;
  } joins[] = {{L"C:\\tools", L"C:\\tools\\log"}, {L"R:\\", L"R:\\log"}, {L"", L"\\log"}};
  for (const auto& test : joins) EXPECT_EQ(Join(test.folder, L"log"), test.joined) << Narrow(test.folder);
}

// The executable's path, when the system call fails or cuts it.
namespace {

struct ModuleNameAnswer {
  DWORD result;  // what the call returns; MAX_PATH for a cut path
  DWORD error;   // the last-error code it leaves
};
ModuleNameAnswer g_moduleName;

DWORD WINAPI FakeGetModuleFileName(HMODULE, wchar_t* buffer, DWORD size) {
  // A cut path fills the whole buffer and has no terminator.
  for (DWORD i = 0; i < size && i < g_moduleName.result; ++i) buffer[i] = i ? L'x' : L'C';
  if (g_moduleName.result && g_moduleName.result < size) buffer[g_moduleName.result] = 0;
  SetLastError(g_moduleName.error);
  return g_moduleName.result;
}

}  // namespace

TEST(ExecutablePath, APathThatFailsOrFillsTheBufferIsNoPath) {
  struct Case {
    ModuleNameAnswer answer;
    bool found;
    DWORD error;
  };
  const Case cases[] = {
      {{0, ERROR_ACCESS_DENIED}, false, ERROR_ACCESS_DENIED},
      {{MAX_PATH, ERROR_INSUFFICIENT_BUFFER}, false, ERROR_INSUFFICIENT_BUFFER},
      {{MAX_PATH, ERROR_SUCCESS}, false, ERROR_INSUFFICIENT_BUFFER},  // older systems set no code
      {{MAX_PATH - 1, ERROR_SUCCESS}, true, ERROR_SUCCESS},
  };
  ImportPatch wide("kernel32.dll", "GetModuleFileNameW", reinterpret_cast<const void*>(&FakeGetModuleFileName));
  for (const Case& test : cases) {
    g_moduleName = test.answer;
    std::wstring widePath = L"old";
    SetLastError(0);
    EXPECT_EQ(ExecutablePath(widePath), test.found) << test.answer.result;
    EXPECT_EQ(GetLastError(), test.error);
    EXPECT_EQ(widePath.size(), test.found ? test.answer.result : 0u);
  }
}

// The imports of the system libraries come from the system folder: through the restricted
// search, or where the system lacks it, through the altered search order of a load by full
// path, with at least the current folder out of the search.
namespace {

ImportPatch* g_getProcAddress = nullptr;
ImportPatch* g_loadLibraryEx = nullptr;
std::vector<std::wstring> g_dllDirectories;
std::vector<DWORD> g_loadFlags;

BOOL WINAPI FailingSetDefaultDllDirectories(DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
// SetDefaultDllDirectories missing, or (with the flag set) present but failing.
bool g_defaultDirectoriesFail = false;
FARPROC WINAPI WithoutDefaultDirectories(HMODULE module, LPCSTR name) {
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::string(name) == "SetDefaultDllDirectories") {
    return g_defaultDirectoriesFail
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FailingSetDefaultDllDirectories))
               : nullptr;
  }
  return g_getProcAddress->Original<decltype(&GetProcAddress)>()(module, name);
}
BOOL WINAPI RecordSetDllDirectoryW(LPCWSTR path) {
  g_dllDirectories.push_back(path ? path : L"(null)");
  return TRUE;
}
HMODULE WINAPI RecordLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  g_loadFlags.push_back(flags);
  return g_loadLibraryEx->Original<decltype(&LoadLibraryExW)>()(path, file, flags);
}

}  // namespace

TEST(RestrictLibrarySearch, SystemLibrariesTakeTheirImportsFromTheSystemFolder) {
  struct Case {
    bool searchUpdate;
    bool updateFails;
    std::vector<std::wstring> dllDirectories;
    DWORD loadFlags;
  };
  const Case cases[] = {{true, false, {}, 0},
                        {false, false, {L""}, LOAD_WITH_ALTERED_SEARCH_PATH},
                        {false, true, {L""}, LOAD_WITH_ALTERED_SEARCH_PATH}};
  ImportPatch setDllDirectory("kernel32.dll", "SetDllDirectoryW",
                              reinterpret_cast<const void*>(&RecordSetDllDirectoryW));
  ImportPatch loadLibraryEx("kernel32.dll", "LoadLibraryExW", reinterpret_cast<const void*>(&RecordLoadLibraryExW));
  g_loadLibraryEx = &loadLibraryEx;
  for (const Case& test : cases) {
    g_dllDirectories.clear();
    g_loadFlags.clear();
    {
      std::optional<ImportPatch> getProcAddress;
      if (!test.searchUpdate) {
        g_defaultDirectoriesFail = test.updateFails;
        getProcAddress.emplace("kernel32.dll", "GetProcAddress",
                               reinterpret_cast<const void*>(&WithoutDefaultDirectories));
        g_getProcAddress = &*getProcAddress;
      }
      RestrictLibrarySearch();
    }
    SystemLibraries libraries;
    const wchar_t* const names[] = {L"psapi.dll"};
    EXPECT_TRUE(libraries.Load(names));
    EXPECT_EQ(g_dllDirectories, test.dllDirectories) << test.searchUpdate;
    EXPECT_EQ(g_loadFlags, std::vector<DWORD>{test.loadFlags}) << test.searchUpdate;
  }
}

TEST(SystemDrive, IsTheSystemDirectoryUpToItsFirstBackslash) {
  // A directory longer than the buffer counts as unreadable, like a failing call.
  const std::wstring overlong = L"F:\\" + std::wstring(300, L'w');
  const struct {
    const wchar_t* directory;
    const wchar_t* drive;
  } cases[] = {{L"D:\\Windows\\system32", L"D:"}, {L"E:", L"E:"}, {nullptr, L""}, {overlong.c_str(), L""}};
  FakeSystemDirectory systemDirectory(nullptr);
  for (const auto& test : cases) {
    systemDirectory.Set(test.directory);
    EXPECT_EQ(SystemDrive(), test.drive) << (test.directory ? Narrow(test.directory) : "none");
  }
}

TEST(SystemLibraries, WithoutTheSystemFolderNoneIsLoaded) {
  const FakeSystemDirectory none(nullptr);
  SystemLibraries libraries;
  const wchar_t* const names[] = {L"psapi.dll"};
  const Captured load = Capture([&] { return libraries.Load(names); });
  EXPECT_FALSE(load.result);
  EXPECT_EQ(load.out, "LoadLibrary psapi.dll failed (1)\r\n");
  EXPECT_EQ(load.log, "LoadLibrary psapi.dll failed (1)\n\r\n");
}

namespace {

// A close call that, like many, changes the last-error code on its way.
int g_closed = 0;
BOOL CloseTouchingTheLastError(int*) {
  ++g_closed;
  SetLastError(ERROR_GEN_FAILURE);
  return TRUE;
}
using TestOwner = UniqueHandle<int*, CloseTouchingTheLastError>;

int* OpenThatFails() {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

}  // namespace

TEST(HandleOwners, KeepTheLastErrorWhenTheyCloseAndOpenIntoPut) {
  int handles[2] = {};
  TestOwner owner(&handles[0]);
  owner.reset(OpenThatFails());  // closes the first handle
  EXPECT_EQ(g_closed, 1);
  EXPECT_FALSE(owner);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the failed open's own code";

  owner.reset(&handles[0]);
  int** slot = owner.put();  // closes it and hands out the empty slot
  EXPECT_EQ(g_closed, 2);
  EXPECT_EQ(*slot, nullptr);
  *slot = &handles[1];
  EXPECT_EQ(owner.get(), &handles[1]);
  EXPECT_TRUE(owner.close());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << "close() gives the call's own code";
  EXPECT_FALSE(owner);
  EXPECT_EQ(g_closed, 3);
}

TEST(StrTools, TheBoundedCopyCutsToTheBufferAndAlwaysTerminates) {
  struct Case {
    size_t capacity;
    const wchar_t* text;
    const wchar_t* copied;
  };
  const Case cases[] = {
      {8, L"Tcpip", L"Tcpip"}, {6, L"Tcpip", L"Tcpip"}, {5, L"Tcpip", L"Tcpi"}, {1, L"Tcpip", L""}, {4, L"", L""}};
  for (const Case& test : cases) {
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    CopyBounded(buffer, test.capacity, test.text);
    EXPECT_STREQ(buffer, test.copied) << test.capacity;
    if (test.capacity < 8) {
      EXPECT_EQ(buffer[test.capacity], L'#') << "written past the buffer";
    }
  }
  wchar_t untouched = L'#';
  CopyBounded(&untouched, 0, L"Tcpip");
  EXPECT_EQ(untouched, L'#');
}

}  // namespace testing_support
