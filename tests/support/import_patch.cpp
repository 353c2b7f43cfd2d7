#include "import_patch.h"

#include <windows.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

namespace {

void WriteSlot(void** slot, void* value) {
  DWORD oldProtect = 0;
  VirtualProtect(static_cast<void*>(slot), sizeof *slot, PAGE_READWRITE, &oldProtect);
  *slot = value;
  VirtualProtect(static_cast<void*>(slot), sizeof *slot, oldProtect, &oldProtect);
}

}  // namespace

void ForEachImport(const std::function<void(const char* dll, const char* function, void** slot)>& visit) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);

  for (; imports.VirtualAddress && descriptor->Name; ++descriptor) {
    const DWORD namesRva = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesRva);
    auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      visit(reinterpret_cast<const char*>(base + descriptor->Name), reinterpret_cast<const char*>(byName->Name),
            reinterpret_cast<void**>(&addresses->u1.Function));
    }
  }
}

ImportPatch::ImportPatch(const char* dll, const char* function, const void* replacement) {
  ForEachImport([&](const char* library, const char* name, void** slot) {
    if (_stricmp(library, dll) != 0 || std::strcmp(name, function) != 0) return;
    if (!original_) original_ = *slot;
    WriteSlot(slot, const_cast<void*>(replacement));
    slots_.push_back(slot);
  });
  if (slots_.empty()) ADD_FAILURE() << "the test executable does not import " << dll << "!" << function;
}

ImportPatch::~ImportPatch() {
  for (void** slot : slots_) WriteSlot(slot, original_);
}
