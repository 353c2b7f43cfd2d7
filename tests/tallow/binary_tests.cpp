// What Tallow.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

namespace testing_support::tallow_test {

// SetupAPI and newdev load only for the switches that use them.
TEST(TallowBinary, IsAStaticAsInvokerProgramWithItsVersion) {
  ExpectDeliverable(BesideTests(L"Tallow.exe"), "asInvoker", L"Mobile device driver tool",
                    {"KERNEL32.DLL", "MSVCRT.DLL"});
}

}  // namespace testing_support::tallow_test
