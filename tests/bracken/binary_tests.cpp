// What Bracken.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

TEST(BrackenBinary, IsAStaticAdministratorProgramWithItsVersion) {
  testing_support::ExpectDeliverable(testing_support::BesideTests(L"Bracken.exe"), "requireAdministrator",
                                     L"Mobile device service tool");
}
