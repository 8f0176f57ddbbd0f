#include "support/ExitTrap.h"

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

} // namespace hktest
