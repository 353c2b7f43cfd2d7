// What Tallow.exe declares: system imports only, ASLR and DEP, its manifest and version.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

using namespace testing_support;

TEST(TallowBinary, ImportsSystemLibrariesOnly) {
  const PeFacts facts = ReadPeFacts(BesideTests(L"Tallow.exe"));
  ASSERT_FALSE(facts.importedDlls.empty());
  for (const std::string& dll : facts.importedDlls) {
    EXPECT_TRUE(dll == "KERNEL32.DLL" || dll == "MSVCRT.DLL" || dll == "SETUPAPI.DLL" || dll == "NEWDEV.DLL" ||
                dll == "SHLWAPI.DLL" || dll == "ADVAPI32.DLL" || dll == "USER32.DLL")
        << dll;
  }
}

TEST(TallowBinary, RandomisesItsBaseAndForbidsDataExecution) {
  const WORD flags = ReadPeFacts(BesideTests(L"Tallow.exe")).dllCharacteristics;
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
#if defined(_WIN64)
  EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
#endif
}

TEST(TallowBinary, RunsAsInvokerAndCarriesItsVersion) {
  const PeFacts facts = ReadPeFacts(BesideTests(L"Tallow.exe"));
  EXPECT_NE(facts.manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"), std::string::npos)
      << facts.manifest;
  EXPECT_EQ(facts.fileDescription, L"Mobile device driver tool");
  EXPECT_EQ(facts.productName, L"Mobile Device Tools");
  EXPECT_EQ(facts.fileVersion, L"1.0.0");
}
