// What Tallow.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

// SetupAPI and newdev load only for the switches that use them.
TEST(TallowBinary, IsAStaticAsInvokerProgramWithItsVersion) {
  testing_support::ExpectDeliverable(testing_support::BesideTests(L"Tallow.exe"), "asInvoker",
                                     L"Mobile device driver tool", {"KERNEL32.DLL", "MSVCRT.DLL"});
}
