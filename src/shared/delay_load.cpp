// The delay-load helper of the mingw-w64 builds: binds a delay-imported call at its first
// use. The delay-import thunks that dlltool makes call it with the library's descriptor and
// the call's slot in the delay import address table; it gives the address to jump to.
//
// It takes the place of the toolchain's own helper for two reasons. That helper loads the
// library by its bare name, so that what is found depends on the search order of the
// moment; this one loads it by its full path in the system folder, where every library
// the tools bind this way lies. And that helper writes the address into the table in
// place, which binutils 2.44 and later keep in a read-only section (.idata), so that the
// first call faults; this one makes the slot's page writable for the write and gives the
// page its protection back, as Microsoft's helper does with a protected delay import
// table. (The Visual Studio build keeps Microsoft's helper.)
#include <windows.h>
#include <delayimp.h>

#include "system_libraries.h"

// The linker's name for the image's own headers, at its base address.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier)

namespace {

template <typename T>
T* AtRva(DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(&__ImageBase) + rva);
}

// Writes one slot of the image, whatever the protection of its page. Where the page
// cannot be made writable the slot keeps its value: the next call through it comes back
// here and is bound again.
template <typename T>
void WriteSlot(T* slot, T value) {
  DWORD protection = 0;
  void* const page = static_cast<void*>(slot);
  if (!VirtualProtect(page, sizeof *slot, PAGE_READWRITE, &protection)) return;
  *slot = value;
  VirtualProtect(page, sizeof *slot, protection, &protection);
}

// Reports a library or an entry that cannot be had as the delay-load exception that
// Microsoft documents for it, with the call's DelayLoadInfo as its argument. A handler
// that continues the exception may have put an address to call in pfnCur.
FARPROC Fail(DWORD error, DelayLoadInfo& info) {
  info.dwLastError = GetLastError();
  const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(&info);
  RaiseException(VcppException(ERROR_SEVERITY_ERROR, error), 0, 1, &argument);
  return info.pfnCur;
}

}  // namespace

// The name and signature that the delay-import thunks call.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* slot) {
  auto* module = AtRva<HMODULE>(descriptor->rvaHmod);
  const auto* names = AtRva<const IMAGE_THUNK_DATA>(descriptor->rvaINT);
  const auto& name = names[slot - AtRva<FARPROC>(descriptor->rvaIAT)];

  DelayLoadInfo info{};
  info.cb = sizeof info;
  info.pidd = descriptor;
  info.ppfn = slot;
  info.szDll = AtRva<const char>(descriptor->rvaDLLName);
  info.dlp.fImportByName = !IMAGE_SNAP_BY_ORDINAL(name.u1.Ordinal);
  if (info.dlp.fImportByName) {
    info.dlp.szProcName = reinterpret_cast<LPCSTR>(AtRva<IMAGE_IMPORT_BY_NAME>(name.u1.AddressOfData)->Name);
  } else {
    info.dlp.dwOrdinal = IMAGE_ORDINAL(name.u1.Ordinal);
  }

  info.hmodCur = *module;
  if (!info.hmodCur) {
    // The libraries' names are short and ASCII; widened in place, so that binding a call
    // allocates nothing.
    wchar_t file[MAX_PATH] = {};
    for (DWORD i = 0; info.szDll[i] != '\0'; ++i) {
      if (i + 1 == MAX_PATH) return Fail(ERROR_MOD_NOT_FOUND, info);
      file[i] = static_cast<unsigned char>(info.szDll[i]);
    }
    info.hmodCur = LoadSystemLibrary(file).release();
    if (!info.hmodCur) return Fail(ERROR_MOD_NOT_FOUND, info);
    // Held for the rest of the run, as every delay-bound library is.
    WriteSlot(module, info.hmodCur);
  }
  info.pfnCur =
      GetProcAddress(info.hmodCur, info.dlp.fImportByName ? info.dlp.szProcName : MAKEINTRESOURCEA(info.dlp.dwOrdinal));
  if (!info.pfnCur) return Fail(ERROR_PROC_NOT_FOUND, info);
  WriteSlot(slot, info.pfnCur);
  return info.pfnCur;
}
