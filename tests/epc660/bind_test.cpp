// The EPC library's internal calls bind to its own definitions: an
// application that defines functions named i2c or print (common names) does
// not replace the register shim or the console helper the library uses.
// Linked against the shared library, with the test's symbols exported.
#include <gtest/gtest.h>

#include "vizor/epc660.h"

namespace {
int g_app_calls = 0;
}

extern "C" int i2c(int, char, int, int, unsigned char **) noexcept {
    ++g_app_calls;
    return 0;  // would claim success
}
extern "C" void print(bool, int, const char *, ...) noexcept { ++g_app_calls; }

TEST(EpcBinding, ApplicationSymbolsDoNotReplaceTheLibrarys) {
    unsigned char b[1] = {0};
    unsigned char *p = b;
    // No EPC default device: the library's shim fails the calls.
    EXPECT_EQ(apiWriteRegister(10, 1, &p, 0x20), -1);
    EXPECT_EQ(apiReadRegister(10, 1, &p, 0x20), -1);
    EXPECT_EQ(apiSetROI(1, 327, 0, 125, 0x20), -1);  // prints through the library's helper
    EXPECT_EQ(g_app_calls, 0);
}
