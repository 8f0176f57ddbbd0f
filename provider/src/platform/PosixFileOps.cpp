// POSIX implementations of the file-system services in FileOps.h.
#include "FileOps.h"

#include "PAL/UniqueHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PAL {
namespace platform {
namespace {

// Nothing is written through one: there is nothing a failed close could lose.
struct DescriptorTraits {
    using Type = int;
    static Type invalid() noexcept { return -1; }
    static void close(Type fd) noexcept { ::close(fd); }
};
using Descriptor = UniqueHandle<DescriptorTraits>;

} // namespace

PathParts splitPath(const std::string& path) {
    // The same split as the Windows run-time's _splitpath, so both builds name files alike.
    PathParts parts;
    std::string rest = path;
    if (rest.size() >= 2 && rest[1] == ':') {
        parts.drive = rest.substr(0, 2);
        rest.erase(0, 2);
    }
    const std::size_t separator = rest.find_last_of("/\\");
    if (separator != std::string::npos) {
        parts.directory = rest.substr(0, separator + 1);
        rest.erase(0, separator + 1);
    }
    const std::size_t dot = rest.rfind('.');
    if (dot != std::string::npos) {
        parts.extension = rest.substr(dot);
        rest.erase(dot);
    }
    parts.name = rest;
    return parts;
}

int createExclusive(const std::string& path) {
    const Descriptor file(
        ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR));
    return file ? 0 : errno;
}

int unlinkFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

} // namespace platform
} // namespace PAL
