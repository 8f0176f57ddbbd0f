// The seam between the log module and the files it writes records to. The platform's own opens
// real files with every check its system allows (Posix/Win32LogFile.cpp); a test or a fuzz
// target may put another in force.
#ifndef PAL_LOGFILEAPI_H
#define PAL_LOGFILEAPI_H

#include <cstdint>
#include <string>

namespace PAL {

class LogFileApi {
public:
    // A descriptor or a HANDLE.
    using Handle = std::intptr_t;
    static constexpr Handle NotOpen = -1;

    virtual ~LogFileApi() = default;

    // Opens `path` for appending, creating it when there is none, without following a final
    // link and without blocking; stores its size in bytes in *size. NotOpen when it cannot be
    // opened, or when what was opened is not a regular file of the caller's own with one link.
    virtual Handle open(const std::string& path, std::uint64_t* size) = 0;
    // True when `path` (a final link not followed) still names the file `file` holds.
    virtual bool isAt(Handle file, const std::string& path) = 0;
    // Appends `text` with one write, as a text-mode stream stores it. Failures are not told.
    virtual void append(Handle file, const std::string& text) = 0;
    virtual void close(Handle file) = 0;
    // Renames `from` to `to`, replacing whatever `to` names; a link at either is not followed.
    virtual bool replace(const std::string& from, const std::string& to) = 0;
};

// The files in force: the platform's own unless a test replaced them.
LogFileApi& logFileApi();
// Puts `api` in force (null restores the platform's own) and returns the one it replaces (null
// when that was the platform's own). The caller keeps ownership.
LogFileApi* setLogFileApi(LogFileApi* api);
// The platform's own files.
LogFileApi& platformLogFileApi();

} // namespace PAL

#endif // PAL_LOGFILEAPI_H
