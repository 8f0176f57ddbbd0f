#include "PAL/Process.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace PAL {
namespace {
void defaultExit(int status) {
    std::exit(status);
}
ExitHandler currentHandler = &defaultExit;
} // namespace

void exitProcess(int status) {
    // Nothing printed before a fatal error may be lost: std::exit does not unwind.
    std::cout.flush();
    std::fflush(stdout);
    currentHandler(status);
    std::exit(status);
}

ExitHandler setExitHandler(ExitHandler handler) {
    ExitHandler previous = currentHandler;
    currentHandler = handler ? handler : &defaultExit;
    return previous;
}

} // namespace PAL
