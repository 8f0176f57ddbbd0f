// Turns PAL::exitProcess into a throw for the life of the object, so whole parses and whole
// runs can be driven in-process and their exit status checked.
#ifndef HK_TESTS_EXITTRAP_H
#define HK_TESTS_EXITTRAP_H

#include "PAL/Process.h"

namespace hktest {

struct ExitCalled {
    int status;
};

class ExitTrap {
public:
    ExitTrap();
    ~ExitTrap();
    ExitTrap(const ExitTrap&) = delete;
    ExitTrap& operator=(const ExitTrap&) = delete;

private:
    PAL::ExitHandler previous;
};

} // namespace hktest

#endif // HK_TESTS_EXITTRAP_H
