// File-system services behind PAL::File; one implementation per platform (PosixFileOps.cpp,
// Win32FileOps.cpp). Not part of the public headers.
#ifndef PAL_SRC_FILEOPS_H
#define PAL_SRC_FILEOPS_H

#include <string>

namespace PAL {
namespace platform {

struct PathParts {
    std::string drive;     // "C:" when the second character is a colon
    std::string directory; // up to and including the last slash or backslash
    std::string name;
    std::string extension; // from the last dot of the final component, dot included
};

// Splits `path`; both slash and backslash separate components.
PathParts splitPath(const std::string& path);

// Creates `path` empty, failing when it exists; readable and writable by its owner. 0 or the
// error number.
int createExclusive(const std::string& path);

// Unlinks `path`. 0 or the error number.
int unlinkFile(const std::string& path);

} // namespace platform
} // namespace PAL

#endif // PAL_SRC_FILEOPS_H
