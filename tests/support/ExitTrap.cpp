#include "support/ExitTrap.h"

#include <gtest/gtest.h>

namespace hktest {
namespace {
void throwExit(int status) {
    throw ExitCalled{status};
}
} // namespace

ExitTrap::ExitTrap() : previous(PAL::setExitHandler(&throwExit)) {}
ExitTrap::~ExitTrap() {
    PAL::setExitHandler(previous);
}

bool exitedWithMinusOne(int status) {
    return testing::ExitedWithCode(255)(status) || testing::ExitedWithCode(-1)(status);
}

} // namespace hktest
