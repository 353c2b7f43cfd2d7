// What Tallow.exe declares about itself.
#include <gtest/gtest.h>

#include "pe_image.h"
#include "test_support.h"

TEST(TallowBinary, IsAStaticAsInvokerProgramWithItsVersion) {
  testing_support::ExpectDeliverable(testing_support::BesideTests(L"Tallow.exe"), "asInvoker",
                                     L"Mobile device driver tool");
}
