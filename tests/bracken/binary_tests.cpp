// What Bracken.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

namespace testing_support::bracken_test {

// psapi loads only for the sweep of "/stopsvc".
TEST(BrackenBinary, IsAStaticAdministratorProgramWithItsVersion) {
  ExpectDeliverable(BesideTests(L"Bracken.exe"), "requireAdministrator", L"Mobile device service tool",
                    {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL", "SHLWAPI.DLL"});
}

}  // namespace testing_support::bracken_test
