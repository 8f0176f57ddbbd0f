// What a call of the layer answers: Windows' own status numbers, which the registry gives and
// hkprune's log records show as numbers, named once for every backend and both programs.
#ifndef PAL_STATUS_H
#define PAL_STATUS_H

#include <cstdint>
#include <string>

namespace PAL {

using Status = std::uint32_t;

class StatusCodes {
public:
    static constexpr Status Success = 0;
    static constexpr Status NotFound = 2;             // ERROR_FILE_NOT_FOUND
    static constexpr Status PathNotFound = 3;         // ERROR_PATH_NOT_FOUND
    static constexpr Status TooManyOpenFiles = 4;     // ERROR_TOO_MANY_OPEN_FILES
    static constexpr Status AccessDenied = 5;         // ERROR_ACCESS_DENIED
    static constexpr Status InvalidHandle = 6;        // ERROR_INVALID_HANDLE
    static constexpr Status NotEnoughMemory = 8;      // ERROR_NOT_ENOUGH_MEMORY
    static constexpr Status WriteProtect = 19;        // ERROR_WRITE_PROTECT
    static constexpr Status NotReady = 21;            // ERROR_NOT_READY
    static constexpr Status GeneralFailure = 31;      // ERROR_GEN_FAILURE
    static constexpr Status SharingViolation = 32;    // ERROR_SHARING_VIOLATION
    static constexpr Status InvalidParameter = 87;    // ERROR_INVALID_PARAMETER
    static constexpr Status DiskFull = 112;           // ERROR_DISK_FULL
    static constexpr Status BadPathName = 161;        // ERROR_BAD_PATHNAME
    static constexpr Status Busy = 170;               // ERROR_BUSY
    static constexpr Status NameTooLong = 206;        // ERROR_FILENAME_EXCED_RANGE
    static constexpr Status FileTooLarge = 223;       // ERROR_FILE_TOO_LARGE
    static constexpr Status MoreData = 234;           // ERROR_MORE_DATA
    static constexpr Status NoMoreItems = 259;        // ERROR_NO_MORE_ITEMS
    static constexpr Status IoDevice = 1117;          // ERROR_IO_DEVICE
    static constexpr Status NoSystemResources = 1450; // ERROR_NO_SYSTEM_RESOURCES
    static constexpr Status CannotResolve = 1921;     // ERROR_CANT_RESOLVE_FILENAME
};

// The reason a status stands for, in the words a shell user knows; "error N" for the rest.
std::string statusText(Status status);

#ifndef _WIN32
// The status of an errno value (ENOENT NotFound, ENOSPC DiskFull ...), and GeneralFailure for
// one with no status of its own.
Status statusFromErrno(int error);
#endif

} // namespace PAL

#endif // PAL_STATUS_H
