// Standard streams on Windows.
#include "Console.h"

#include <cstdio>
#include <io.h>

namespace PAL {
namespace console {

void reserveStandardDescriptors() {
    // Nothing to do: the C run-time keeps descriptors 0 to 2 allocated from start-up, even when
    // the parent gave no handle for them, so its later opens never take them.
}

void bufferStandardOutput(char* buffer, std::size_t size) {
    // The run-time has no line buffering (_IOLBF means _IOFBF there); on a console it writes
    // every call through at once, which is what a terminal needs.
    if (!_isatty(_fileno(stdout))) {
        std::setvbuf(stdout, buffer, _IOFBF, size);
    }
}

} // namespace console
} // namespace PAL
