// POSIX implementations of the platform services in Platform.h.
#include "Platform.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

bool localTime(std::time_t when, std::tm& result) {
    return ::localtime_r(&when, &result) != nullptr;
}

} // namespace platform
} // namespace PAL
