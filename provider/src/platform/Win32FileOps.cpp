// Windows implementations of the file-system services in FileOps.h, on the C run-time.
#include "FileOps.h"

#include "PAL/UniqueHandle.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <vector>

namespace PAL {
namespace platform {
namespace {

struct DescriptorTraits {
    using Type = int;
    static Type invalid() noexcept { return -1; }
    static void close(Type fd) noexcept { ::_close(fd); }
};
using Descriptor = UniqueHandle<DescriptorTraits>;

} // namespace

PathParts splitPath(const std::string& path) {
    PathParts parts;
    if (path.empty()) {
        return parts;
    }
    // Each part is at most as long as the whole path; sized so, no part can be refused.
    const std::size_t size = path.size() + 1;
    std::vector<char> drive(size), directory(size), name(size), extension(size);
    if (::_splitpath_s(path.c_str(), drive.data(), size, directory.data(), size, name.data(), size,
                       extension.data(), size) != 0) {
        return parts;
    }
    parts.drive = drive.data();
    parts.directory = directory.data();
    parts.name = name.data();
    parts.extension = extension.data();
    return parts;
}

int createExclusive(const std::string& path) {
    const Descriptor file(
        ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
    return file ? 0 : errno;
}

int unlinkFile(const std::string& path) {
    return ::_unlink(path.c_str()) == 0 ? 0 : errno;
}

} // namespace platform
} // namespace PAL
