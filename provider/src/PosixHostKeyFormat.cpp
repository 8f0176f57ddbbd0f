// PuTTY for Unix's host-key file format: finding the values, removing lines.
#include "PosixHostKeyFormat.h"

#include <algorithm>
#include <cstring>

namespace PAL {
namespace detail {
namespace {

// Calls f(begin, textEnd, end) for each line: [begin, textEnd) is its text without "\n" or
// "\r\n", [begin, end) the whole line with its terminator. A last line may have none.
template <typename F>
void forEachLine(const std::string& bytes, F&& f) {
    const char* base = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t begin = 0;
    while (begin < size) {
        const void* newline = std::memchr(base + begin, '\n', size - begin);
        std::size_t end = size;
        std::size_t textEnd = size;
        if (newline) {
            textEnd = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
            end = textEnd + 1;
            if (textEnd > begin && base[textEnd - 1] == '\r') {
                --textEnd;
            }
        }
        f(begin, textEnd, end);
        begin = end;
    }
}

// End of a line's value name: its first space, or the end of its text.
std::size_t nameEnd(const std::string& bytes, std::size_t begin, std::size_t textEnd) {
    const void* space = std::memchr(bytes.data() + begin, ' ', textEnd - begin);
    return space ? static_cast<std::size_t>(static_cast<const char*>(space) - bytes.data())
                 : textEnd;
}

} // namespace

ValueIndex indexValues(const std::string& text) {
    ValueIndex index;
    forEachLine(text, [&](std::size_t begin, std::size_t textEnd, std::size_t) {
        if (textEnd == begin) {
            return;
        }
        std::size_t end = nameEnd(text, begin, textEnd);
        // PuTTY never writes a name holding a NUL, and none could be asked for by name.
        if (std::memchr(text.data() + begin, '\0', end - begin)) {
            return;
        }
        std::size_t data = end < textEnd ? end + 1 : textEnd;
        ValueLine value{begin, static_cast<std::uint32_t>(end - begin), data,
                        static_cast<std::uint32_t>(textEnd - data)};
        index.maxNameLength = std::max(index.maxNameLength, value.nameLength);
        index.maxDataSize = std::max(index.maxDataSize, value.dataLength + 1);
        index.values.push_back(value);
    });
    return index;
}

// Removes the lines named `name` from `bytes`, in place (no second copy of a large file);
// false when there is none.
bool removeLines(std::string& bytes, const std::string& name) {
    bool found = false;
    std::size_t kept = 0;
    // Lines only ever move towards the start, behind the line being looked at.
    forEachLine(bytes, [&](std::size_t begin, std::size_t textEnd, std::size_t end) {
        std::size_t length = nameEnd(bytes, begin, textEnd) - begin;
        if (length == name.size() && bytes.compare(begin, length, name) == 0) {
            found = true;
            return;
        }
        if (kept != begin) {
            std::memmove(&bytes[kept], &bytes[begin], end - begin);
        }
        kept += end - begin;
    });
    bytes.resize(kept);
    return found;
}

} // namespace detail
} // namespace PAL
