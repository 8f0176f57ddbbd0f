#include "PAL/Process.h"

#include "support/ExitTrap.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

TEST(ProcessExit, TrapSeesTheStatusAndOutputIsFlushedFirst) {
    hktest::StdoutCapture out;
    hktest::ExitTrap trap;
    std::cout << "before";
    try {
        PAL::exitProcess(-1);
        FAIL() << "exitProcess returned";
    } catch (const hktest::ExitCalled& e) {
        EXPECT_EQ(-1, e.status);
    }
    EXPECT_EQ("before", out.text());
}

// -1 is 255 to a POSIX parent and -1 to a Windows one.
bool exitedWithMinusOne(int status) {
    return testing::ExitedWithCode(255)(status) || testing::ExitedWithCode(-1)(status);
}

TEST(ProcessExitDeathTest, EndsTheProcessWithTheStatus) {
    EXPECT_EXIT(PAL::exitProcess(-1), exitedWithMinusOne, "");
    EXPECT_EXIT(PAL::exitProcess(0), testing::ExitedWithCode(0), "");
}

} // namespace
