// POSIX implementations of the platform services in Platform.h.
#include "Platform.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

bool regularFileSize(const std::string& path, std::uint64_t& size) {
    struct ::stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool localTime(std::time_t when, std::tm& result) {
    return ::localtime_r(&when, &result) != nullptr;
}

} // namespace platform
} // namespace PAL
