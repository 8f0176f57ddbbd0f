// POSIX: standard input has no text mode.
#include "PAL/StandardInput.h"

namespace PAL {

std::FILE* standardInputAsBytes() {
    return stdin;
}

} // namespace PAL
