// Small operating-system services the portable sources need; one implementation per platform
// (Posix/Win32Platform.cpp, and Posix/Win32LogFile.cpp for the log file). Not part of the
// public headers.
#ifndef PAL_SRC_PLATFORM_H
#define PAL_SRC_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace PAL {
namespace platform {

// The calling thread's numeric identifier (GetCurrentThreadId, or the kernel thread id).
unsigned long currentThreadId();

// A log file held open to append records. Only a regular file with one link is held: the
// directory a log goes to may be writable by others, who may plant a link, a hard link, a FIFO
// or a device at the path. What cannot be checked on a platform is said in its source.
class LogFile {
public:
    LogFile() = default;
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens `path` for appending, creating it when there is none, without following a final
    // link and without blocking. False (nothing held) when what was opened is not a regular
    // file with one link.
    bool open(const std::string& path);
    void close();
    // Size in bytes of the held file when it was opened.
    std::uint64_t size() const { return bytes; }
    // True when `path` (a final link not followed) still names the held file.
    bool isAt(const std::string& path) const;
    // Appends `text` with one write, as a text-mode stream stores it.
    void append(const std::string& text);

private:
    std::intptr_t handle = -1; // a descriptor, or a HANDLE; -1 when nothing is held
    std::uint64_t bytes = 0;
};

// Renames `from` to `to`, replacing whatever `to` names. Neither name is followed if it is a
// link: the entries themselves are moved and replaced.
bool replaceFile(const std::string& from, const std::string& to);

// Local calendar time of `when`; false when it cannot be converted.
bool localTime(std::time_t when, std::tm& result);

// Absolute form of `path` (relative to the current directory, "." and ".." resolved; the
// file need not exist). False when it cannot be made or would exceed `maxLength` characters.
bool absolutePath(const std::string& path, std::size_t maxLength, std::string& result);

} // namespace platform
} // namespace PAL

#endif // PAL_SRC_PLATFORM_H
