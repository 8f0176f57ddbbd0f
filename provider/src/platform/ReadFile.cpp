// Reading a file whole: the checks and the limit on a stream that Posix/Win32Platform.cpp open.
#include "PAL/ReadFile.h"

#include "PAL/StandardInput.h"
#include "PAL/UniqueHandle.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace PAL {
namespace {

// `file` read to its end into `read.bytes`; an endless stream stops one byte past the limit.
void readAll(std::FILE* file, std::size_t limit, bool withOwner, FileRead& read) {
    if (withOwner && !(read.owner = fileOwner(file, &read.reason))) {
        return;
    }
    std::string text;
    // A file's size is known ahead (a pipe's is not): read into one buffer of that size.
    const long at = std::ftell(file);
    if (at >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
        const long end = std::ftell(file);
        if (std::fseek(file, at, SEEK_SET) != 0) {
            read.reason = std::strerror(errno);
            return;
        }
        if (end > at) {
            text.reserve(std::min<std::size_t>(std::size_t(end - at), limit) + 1);
        }
    }
    std::vector<char> chunk(std::size_t(1) << 16);
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        text.append(chunk.data(), got);
        if (text.size() > limit) {
            read.reason = "longer than " + std::to_string(limit) + " bytes";
            read.tooLong = true;
            return;
        }
        if (got < chunk.size()) {
            if (std::ferror(file)) {
                read.reason = std::strerror(errno);
                return;
            }
            read.bytes = std::move(text);
            return;
        }
    }
}

} // namespace

FileRead readFile(const std::string& path, std::size_t limit, bool withOwner) {
    FileRead read;
    const UniquePointer<std::FILE*, std::fclose> file(platform::openToRead(path, &read.reason));
    if (file) {
        readAll(file.get(), limit, withOwner, read);
    }
    return read;
}

FileRead readStandardInput(std::size_t limit, bool withOwner) {
    FileRead read;
    readAll(standardInputAsBytes(), limit, withOwner, read);
    return read;
}

} // namespace PAL
