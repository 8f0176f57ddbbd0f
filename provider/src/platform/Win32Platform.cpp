// Windows implementations of the platform services in Platform.h.
#include "Platform.h"

#include "PAL/Windows.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace PAL {
namespace platform {

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::GetCurrentThreadId());
}

bool localTime(std::time_t when, std::tm& result) {
    return ::localtime_s(&result, &when) == 0;
}

bool absolutePath(const std::string& path, std::size_t maxLength, std::string& result) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    // One more for the terminating NUL, so that the result may hold maxLength characters. The
    // ANSI path functions under _fullpath stop at MAX_PATH with the NUL counted, so 259 is the
    // most that comes back when maxLength is 260.
    std::vector<char> buffer(maxLength + 1);
    if (::_fullpath(buffer.data(), path.c_str(), buffer.size()) == nullptr) {
        return false;
    }
    result = buffer.data();
    return true;
}

std::FILE* openToRead(const std::string& path, std::string* reason) {
    // Windows has no FIFO in its file system to wait on.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *reason = std::strerror(errno);
    }
    return file;
}

} // namespace platform
} // namespace PAL
