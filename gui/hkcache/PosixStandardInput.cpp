// POSIX: standard input has no text mode.
#include "StandardInput.h"

namespace hkcache {

std::FILE* standardInputAsBytes() {
    return stdin;
}

} // namespace hkcache
