// POSIX implementations of the platform services in Platform.h.
#include "Platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

bool localTime(std::time_t when, std::tm& result) {
    return ::localtime_r(&when, &result) != nullptr;
}

bool absolutePath(const std::string& path, std::size_t maxLength, std::string& result) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    std::string joined;
    if (path.empty() || path.front() != '/') {
        std::vector<char> cwd(256);
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE) {
                return false; // e.g. the current directory was removed
            }
            cwd.resize(cwd.size() * 2);
        }
        joined = cwd.data();
        joined += '/';
    }
    joined += path;

    // Resolved by text alone: the file, and the directories on the way, need not exist.
    std::vector<std::string> components;
    std::size_t begin = 0;
    while (begin <= joined.size()) {
        std::size_t end = joined.find('/', begin);
        if (end == std::string::npos) {
            end = joined.size();
        }
        const std::string component = joined.substr(begin, end - begin);
        if (component == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        begin = end + 1;
    }

    std::string absolute;
    for (const std::string& component : components) {
        absolute += '/';
        absolute += component;
    }
    if (absolute.empty()) {
        absolute = "/";
    } else if (!path.empty() && path.back() == '/') {
        absolute += '/'; // a trailing separator stays, as the Windows run-time keeps it
    }
    if (absolute.size() > maxLength) {
        return false;
    }
    result = absolute;
    return true;
}

std::FILE* openToRead(const std::string& path, std::string* reason) {
    // O_NONBLOCK: a FIFO's open would wait for a writer. Cleared before the read, so that a pipe
    // that has one is read as it comes, and one that has none ends at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
    std::FILE* file =
        flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ? nullptr : ::fdopen(fd, "rb");
    if (!file) {
        *reason = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return file;
}

} // namespace platform
} // namespace PAL
