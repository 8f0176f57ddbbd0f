// POSIX log files of the LogFileApi seam.
#include "PAL/LogFileApi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PAL {
namespace {

class PosixLogFiles final : public LogFileApi {
public:
    Handle open(const std::string& path, std::uint64_t* size) override {
        if (path.find('\0') != std::string::npos) {
            return NotOpen;
        }
        // O_NOFOLLOW: a planted link to another file (or a dangling one, which O_CREAT would
        // make) fails here. O_NONBLOCK: a FIFO without a reader fails at once instead of
        // waiting for one. O_NOCTTY: a terminal planted at the path does not become the
        // controlling terminal.
        const int fd = ::open(
            path.c_str(),
            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) {
            return NotOpen;
        }
        // Someone else's file (a hkprune.log of mode 0666 in a shared directory) would receive
        // the records, host names and all, and be readable by its owner.
        struct ::stat status {};
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
            status.st_uid != ::geteuid()) {
            ::close(fd);
            return NotOpen;
        }
        *size = static_cast<std::uint64_t>(status.st_size);
        return fd;
    }

    bool isAt(Handle file, const std::string& path) override {
        struct ::stat held {};
        struct ::stat named {};
        return ::fstat(static_cast<int>(file), &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
               held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    }

    void append(Handle file, const std::string& text) override {
        // Logging never fails its caller: a short or failed write is not reported.
        [[maybe_unused]] const ::ssize_t written =
            ::write(static_cast<int>(file), text.data(), text.size());
    }

    void close(Handle file) override { ::close(static_cast<int>(file)); }

    bool replace(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }
};

} // namespace

LogFileApi& platformLogFileApi() {
    static PosixLogFiles files;
    return files;
}

} // namespace PAL
