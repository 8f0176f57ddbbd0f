// Windows: standard input is put in binary mode before it is read.
#include "PAL/StandardInput.h"

#include <fcntl.h>
#include <io.h>

namespace PAL {

std::FILE* standardInputAsBytes() {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

} // namespace PAL
