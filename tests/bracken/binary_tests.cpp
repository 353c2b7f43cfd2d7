// What Bracken.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

// psapi loads only for the sweep of "/stopsvc".
TEST(BrackenBinary, IsAStaticAdministratorProgramWithItsVersion) {
  testing_support::ExpectDeliverable(testing_support::BesideTests(L"Bracken.exe"), "requireAdministrator",
                                     L"Mobile device service tool",
                                     {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL", "SHLWAPI.DLL"});
}
