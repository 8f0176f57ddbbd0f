// Windows implementations of the platform services in Platform.h.
#include "Platform.h"

#include <windows.h>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::GetCurrentThreadId());
}

bool localTime(std::time_t when, std::tm& result) {
    return ::localtime_s(&result, &when) == 0;
}

} // namespace platform
} // namespace PAL
