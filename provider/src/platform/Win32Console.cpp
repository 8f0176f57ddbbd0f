// Standard streams on Windows.
#include "Console.h"

#include "PAL/Process.h"

#include "PAL/Windows.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace PAL {
namespace console {

void reserveStandardDescriptors() {
    // Nothing to do: the C run-time keeps descriptors 0 to 2 allocated from start-up, even when
    // the parent gave no handle for them, so its later opens never take them.
}

void bufferStandardOutput(char* buffer, std::size_t size) {
    // Only a console is a terminal: the run-time's _isatty also says yes for NUL and every other
    // character device, and writes to them unbuffered, a call per piece of each line. The
    // run-time has no line buffering (_IOLBF means _IOFBF); on a console it writes every call
    // through at once, which is what a terminal needs.
    DWORD mode = 0;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    if (!GetConsoleMode(handle, &mode)) {
        std::setvbuf(stdout, buffer, _IOFBF, size);
    }
}

void binaryStandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace console

bool standardErrorIsTerminal() {
    // As for standard output: NUL is a character device too, but no console.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

} // namespace PAL
