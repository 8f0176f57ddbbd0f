// Small operating-system services the portable sources need; one implementation per platform
// (Posix/Win32Platform.cpp). Not part of the public headers.
#ifndef PAL_SRC_PLATFORM_H
#define PAL_SRC_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace PAL {
namespace platform {

// The calling thread's numeric identifier (GetCurrentThreadId, or the kernel thread id).
unsigned long currentThreadId();

// Local calendar time of `when`; false when it cannot be converted.
bool localTime(std::time_t when, std::tm& result);

// Absolute form of `path` (relative to the current directory, "." and ".." resolved; the
// file need not exist). False when it cannot be made or would exceed `maxLength` characters.
bool absolutePath(const std::string& path, std::size_t maxLength, std::string& result);

// `path` opened for reading as bytes, without waiting for a FIFO's writer; null with the
// system's reason.
std::FILE* openToRead(const std::string& path, std::string* reason);

} // namespace platform
} // namespace PAL

#endif // PAL_SRC_PLATFORM_H
