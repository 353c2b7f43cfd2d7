#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tools_version.h"

namespace testing_support {

namespace {

// Offset in the file of a relative virtual address.
size_t FileOffset(const IMAGE_NT_HEADERS* nt, DWORD rva) {
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize) {
      return rva - section->VirtualAddress + section->PointerToRawData;
    }
  }
  return 0;
}

std::wstring VersionValue(const std::vector<BYTE>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || !length) return L"";
  return static_cast<const wchar_t*>(value);
}

}  // namespace

PeFacts ReadPeFacts(const std::wstring& path) {
  PeFacts facts;
  const std::string image = ReadBytes(path);
  if (image.size() < sizeof(IMAGE_DOS_HEADER)) {
    ADD_FAILURE() << "cannot read the executable";
    return facts;
  }
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
  facts.fileSize = image.size();
  facts.dllCharacteristics = nt->OptionalHeader.DllCharacteristics;
  facts.symbolCount = nt->FileHeader.NumberOfSymbols;

  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (const auto* descriptor =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + FileOffset(nt, imports.VirtualAddress));
       imports.VirtualAddress && descriptor->Name; ++descriptor) {
    std::string name = image.data() + FileOffset(nt, descriptor->Name);
    std::ranges::transform(name, name.begin(), [](char c) { return static_cast<char>(toupper(c)); });
    facts.importedDlls.push_back(name);
  }

  if (HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
      const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
      facts.manifest.assign(data, SizeofResource(module, found));
    }
    FreeLibrary(module);
  }

  DWORD ignored = 0;
  std::vector<BYTE> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  if (!version.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data())) {
    facts.fileDescription = VersionValue(version, L"FileDescription");
    facts.productName = VersionValue(version, L"ProductName");
    facts.fileVersion = VersionValue(version, L"FileVersion");
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(version.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
      const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
      facts.fixedFileVersion =
          std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
          std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
    }
  }
  return facts;
}

void ExpectDeliverable(const std::wstring& path, const char* level, const wchar_t* description,
                       std::vector<std::string> imports) {
  const PeFacts facts = ReadPeFacts(path);
  std::vector<std::string> imported = facts.importedDlls;
  std::ranges::sort(imported);
  std::ranges::sort(imports);
  EXPECT_EQ(imported, imports);

  EXPECT_TRUE(facts.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
  EXPECT_TRUE(facts.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
#if defined(_WIN64)
  EXPECT_TRUE(facts.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
#endif
  EXPECT_TRUE(facts.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
  EXPECT_EQ(facts.symbolCount, 0u);
#if !defined(TOOLS_COVERAGE_BUILD)  // instrumented, without optimisation: not what is delivered
  EXPECT_LE(facts.fileSize, 300u * 1024) << "the size budget of a delivered executable";
#endif

  const std::string request = std::string(R"(<requestedExecutionLevel level=")") + level + R"(" uiAccess="false"/>)";
  EXPECT_NE(facts.manifest.find(request), std::string::npos) << facts.manifest;
  static const char* const kSupportedOs[] = {
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
  };
  for (const char* id : kSupportedOs) {
    EXPECT_NE(facts.manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
  }
  const size_t identity = facts.manifest.find("<assemblyIdentity ");
  const size_t version = facts.manifest.find(" version=\"", identity);
  ASSERT_NE(identity, std::string::npos) << facts.manifest;
  ASSERT_LT(version, facts.manifest.find("/>", identity)) << facts.manifest;
  const size_t value = version + sizeof(" version=\"") - 1;
  EXPECT_EQ(facts.manifest.substr(value, facts.manifest.find('"', value) - value), facts.fixedFileVersion);

  EXPECT_EQ(facts.fileDescription, description);
  EXPECT_EQ(facts.productName, L"Mobile Device Tools");
  EXPECT_EQ(facts.fileVersion, L"" TOOLS_VERSION_TEXT);
  EXPECT_EQ(facts.fixedFileVersion, std::to_string(TOOLS_VERSION_MAJOR) + "." + std::to_string(TOOLS_VERSION_MINOR) +
                                        "." + std::to_string(TOOLS_VERSION_PATCH) + ".0");
}

}  // namespace testing_support
