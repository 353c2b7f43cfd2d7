// The delay-load helper, called as a delay-import thunk calls it, on tables laid out as
// dlltool lays them out and kept in a read-only page, as binutils 2.44 and later keep them.
#include <windows.h>
#include <delayimp.h>

#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "import_patch.h"
#include "system_libraries.h"
#include "system_paths.h"

extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot);
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// One library's delay import tables with one call.
struct Tables {
  ImgDelayDescr descriptor;
  HMODULE handle;
  IMAGE_THUNK_DATA names[2];
  FARPROC slots[2];
  WORD hint;
  char function[40];
  char library[MAX_PATH + 8];
};
alignas(4096) unsigned char g_page[4096];
Tables& g_tables = *reinterpret_cast<Tables*>(g_page);

DWORD Rva(const void* address) {
  return static_cast<DWORD>(static_cast<const BYTE*>(address) - reinterpret_cast<const BYTE*>(&__ImageBase));
}

// The ordinal under which a loaded library exports `name`.
WORD OrdinalOf(HMODULE module, const char* name) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (std::strcmp(reinterpret_cast<const char*>(base + names[i]), name) == 0) {
      return static_cast<WORD>(exports->Base + ordinals[i]);
    }
  }
  ADD_FAILURE() << name << " is not exported";
  return 0;
}

// What a handler of the delay-load exceptions saw; it continues with a stand-in address.
DWORD g_exception;
std::string g_failedLibrary, g_failedFunction;
void StandIn() {}
LONG WINAPI OnDelayLoadFailure(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if ((record.ExceptionCode >> 16 & 0xFFF) != FACILITY_VISUALCPP) return EXCEPTION_CONTINUE_SEARCH;
  auto& info = *reinterpret_cast<DelayLoadInfo*>(record.ExceptionInformation[0]);
  g_exception = record.ExceptionCode;
  g_failedLibrary = info.szDll;
  g_failedFunction = info.dlp.fImportByName ? info.dlp.szProcName : "";
  info.pfnCur = reinterpret_cast<FARPROC>(&StandIn);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Refuses to change the protection of the tables' page; forwards every other change (the
// import patch's own among them) to the system.
decltype(&VirtualProtect) g_virtualProtect;
BOOL WINAPI RefuseTablesPage(void* address, SIZE_T size, DWORD protection, DWORD* old) {
  if (static_cast<BYTE*>(address) >= g_page && static_cast<BYTE*>(address) < g_page + sizeof g_page) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return g_virtualProtect(address, size, protection, old);
}

TEST(DelayLoadHelper, BindsFromTheSystemFolderAndWritesReadOnlyTables) {
  const HMODULE newdev = LoadLibraryW((SystemDirectory() + L"\\newdev.dll").c_str());
  ASSERT_NE(newdev, nullptr);
  const auto update = GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW");
  const auto unbound = reinterpret_cast<FARPROC>(0x5A5A);
  const DWORD kNoLibrary = VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND);
  const DWORD kNoEntry = VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND);
  const std::string longName = std::string(MAX_PATH, 'n') + ".dll";
  struct Case {
    const char* what;
    const char* library;
    const char* function;
    bool byOrdinal, bound, protectionRefused;
    FARPROC result;
    DWORD exception;
  } cases[] = {
      {"by name, the library not bound yet", "newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", false, false, false,
       update, 0},
      {"by name, the library bound", "newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", false, true, false, update, 0},
      {"by ordinal", "newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", true, false, false, update, 0},
      {"a page that cannot be made writable", "newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", false, false, true,
       update, 0},
      {"a library outside the system folder", "tools-no-such-library.dll", "Call", false, false, false,
       reinterpret_cast<FARPROC>(&StandIn), kNoLibrary},
      {"a library name longer than a path", longName.c_str(), "Call", false, false, false,
       reinterpret_cast<FARPROC>(&StandIn), kNoLibrary},
      {"an entry the library lacks", "newdev.dll", "NoSuchCall", false, false, false,
       reinterpret_cast<FARPROC>(&StandIn), kNoEntry},
  };
  g_virtualProtect = ExportedFunction<decltype(&VirtualProtect)>(GetModuleHandleW(L"kernel32.dll"), "VirtualProtect");
  void* const handler = AddVectoredExceptionHandler(1, OnDelayLoadFailure);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memset(g_page, 0, sizeof g_page);
    Tables& t = g_tables;
    std::strcpy(t.library, c.library);
    std::strcpy(t.function, c.function);
    t.descriptor = {dlattrRva, Rva(t.library), Rva(&t.handle), Rva(t.slots), Rva(t.names), 0, 0, 0};
    t.names[0].u1.AddressOfData = c.byOrdinal ? IMAGE_ORDINAL_FLAG | OrdinalOf(newdev, c.function) : Rva(&t.hint);
    t.handle = c.bound ? newdev : nullptr;
    t.slots[0] = unbound;
    g_exception = 0;
    g_failedLibrary = g_failedFunction = "";
    DWORD protection = 0;
    VirtualProtect(g_page, sizeof g_page, PAGE_READONLY, &protection);
    FARPROC result = nullptr;
    {
      std::optional<ImportPatch> refuse;
      if (c.protectionRefused)
        refuse.emplace("kernel32.dll", "VirtualProtect", reinterpret_cast<const void*>(&RefuseTablesPage));
      result = __delayLoadHelper2(&t.descriptor, &t.slots[0]);
    }
    VirtualProtect(g_page, sizeof g_page, protection, &protection);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(t.slots[0], c.exception || c.protectionRefused ? unbound : c.result);
    EXPECT_EQ(t.handle, c.exception == kNoLibrary || c.protectionRefused ? nullptr : newdev);
    EXPECT_EQ(g_exception, c.exception);
    EXPECT_EQ(g_failedLibrary, c.exception ? c.library : "");
    EXPECT_EQ(g_failedFunction, c.exception ? c.function : "");
  }
  RemoveVectoredExceptionHandler(handler);
  FreeLibrary(newdev);
}

}  // namespace
