// Windows: standard input is put in binary mode before it is read.
#include "StandardInput.h"

#include <fcntl.h>
#include <io.h>

namespace hkcache {

std::FILE* standardInputAsBytes() {
    _setmode(_fileno(stdin), _O_BINARY);
    return stdin;
}

} // namespace hkcache
