// POSIX log file of Platform.h: in a source of its own so that a fuzz target can link a
// log kept in memory in its place.
#include "Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PAL {
namespace platform {

bool LogFile::open(const std::string& path) {
    close();
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    // O_NOFOLLOW: a planted link to another file (or a dangling one, which O_CREAT would make)
    // fails here. O_NONBLOCK: a FIFO without a reader fails at once instead of waiting for one.
    // O_NOCTTY: a terminal planted at the path does not become the controlling terminal.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return false;
    }
    struct ::stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        ::close(fd);
        return false;
    }
    handle = fd;
    bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

void LogFile::close() {
    if (handle >= 0) {
        ::close(static_cast<int>(handle));
        handle = -1;
    }
}

bool LogFile::isAt(const std::string& path) const {
    struct ::stat held {};
    struct ::stat named {};
    return handle >= 0 && ::fstat(static_cast<int>(handle), &held) == 0 &&
           ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

void LogFile::append(const std::string& text) {
    if (handle >= 0) {
        // Logging never fails its caller: a short or failed write is not reported.
        [[maybe_unused]] const ::ssize_t written =
            ::write(static_cast<int>(handle), text.data(), text.size());
    }
}

bool replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace platform
} // namespace PAL
