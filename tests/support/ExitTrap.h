// Turns PAL::exitProcess into a throw for the life of the object, so whole parses and whole
// runs can be driven in-process and their exit status checked; and the predicate of the real
// exit's status for death tests.
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

// For EXPECT_EXIT: -1 is 255 to a POSIX parent and -1 to a Windows one.
bool exitedWithMinusOne(int status);

} // namespace hktest

#endif // HK_TESTS_EXITTRAP_H
