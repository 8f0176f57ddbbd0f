// Standard streams on POSIX.
#include "Console.h"

#include "PAL/Process.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace PAL {
namespace console {

void reserveStandardDescriptors() {
    // Opened the wrong way round, /dev/null takes the free number (open returns the lowest) and
    // every read or write on it still fails with EBADF, as on the closed descriptor.
    const int wrongWay[] = {O_WRONLY, O_RDONLY, O_RDONLY};
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int taken = open("/dev/null", wrongWay[fd]);
            if (taken != fd && taken >= 0) {
                close(taken);
            }
        }
    }
}

void bufferStandardOutput(char* buffer, std::size_t size) {
    std::setvbuf(stdout, buffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, size);
}

void binaryStandardOutput() {
    // POSIX has no text mode.
}

} // namespace console

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

} // namespace PAL
