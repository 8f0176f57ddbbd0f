// POSIX implementations of the platform services in Platform.h.
#include "Platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

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

} // namespace platform
} // namespace PAL
