#include "PAL/Process.h"

#include "support/ExitTrap.h"
#include "support/StdoutCapture.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

using hktest::exitedWithMinusOne;

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

TEST(ProcessExitDeathTest, EndsTheProcessWithTheStatus) {
    EXPECT_EXIT(PAL::exitProcess(-1), exitedWithMinusOne, "");
    EXPECT_EXIT(PAL::exitProcess(0), testing::ExitedWithCode(0), "");
}

} // namespace
