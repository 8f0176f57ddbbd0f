// A file read whole within a limit, on the one handle it was opened as: an import's inputs, the
// Ansible module's arguments file.
#ifndef PAL_READFILE_H
#define PAL_READFILE_H

#include "PAL/Accounts.h"

#include <cstddef>
#include <optional>
#include <string>

namespace PAL {

// What a read gave: the bytes, or why there are none.
struct FileRead {
    std::optional<std::string> bytes;
    std::string reason;             // the system's words, or "longer than N bytes"
    bool tooLong = false;           // the limit is the reason
    std::optional<FileOwner> owner; // when asked for: read from the handle before the bytes
};

// `path` opened once (a FIFO with no writer is not waited for), then read whole: more than
// `limit` bytes is an error. A pipe is read as it comes; a directory fails at its first read.
FileRead readFile(const std::string& path, std::size_t limit, bool withOwner = false);
// Standard input, as bytes, read the same way.
FileRead readStandardInput(std::size_t limit, bool withOwner = false);

} // namespace PAL

#endif // PAL_READFILE_H
