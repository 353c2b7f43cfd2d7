// What an executable file declares about itself: imports, security flags, resources.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct PeFacts {
  size_t fileSize = 0;
  std::vector<std::string> importedDlls;  // upper case, in table order
  WORD dllCharacteristics = 0;
  DWORD symbolCount = 0;         // entries of the COFF symbol table
  std::string manifest;          // the RT_MANIFEST resource 1
  std::wstring fileDescription;  // from the version resource
  std::wstring productName;
  std::wstring fileVersion;
  std::string fixedFileVersion;  // its binary file version, "a.b.c.d"
};

// Reads the facts from the file; fails the test when it cannot be read.
PeFacts ReadPeFacts(const std::wstring& path);

// Fails the test unless the program is at most 300 KiB, binds at start-up exactly the
// system libraries `imports` (upper case), randomises its base, forbids data execution
// (with high-entropy addresses in a 64-bit build) and is terminal server aware, carries
// no symbol table, asks for the execution level `level` without UI access, declares
// Windows 7 to 11 as supported, and carries the build's version in its version resource
// and as its manifest's assembly version.
void ExpectDeliverable(const std::wstring& path, const char* level, const wchar_t* description,
                       std::vector<std::string> imports);

}  // namespace testing_support
