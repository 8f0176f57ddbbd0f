// PuTTY for Unix's host-key file format: one value a line, its name up to the first space, its
// data the rest of the line; "\n" or "\r\n" ends a line, and a last line may have neither.
// Everything here reads the file's bytes where they lie: nothing is stored per line.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PAL {
namespace detail {

// One line: its name is [begin, nameEnd), its data [data, textEnd), the next line starts at
// `end`. Offsets into a file below 4 GiB.
struct Line {
    std::size_t begin;
    std::size_t nameEnd;
    std::size_t data;
    std::size_t textEnd;
    std::size_t end;

    std::uint32_t nameLength() const { return static_cast<std::uint32_t>(nameEnd - begin); }
    std::uint32_t dataLength() const { return static_cast<std::uint32_t>(textEnd - data); }
};

// The bytes as read, less the lines of names deleted since: the file as it now is.
struct HostKeyText {
    std::string_view bytes;
    const std::vector<std::string>& removed;
    // No NUL lies before this offset: names there need no look for one (0: look at every name).
    std::size_t nulFreeUntil = 0;
};
// The offset of the first NUL in `bytes`, or its size: one pass instead of a look per line.
std::size_t firstNul(std::string_view bytes);

// Counts and longest lengths, as the registry's key information reports them.
struct ValueSummary {
    std::uint32_t count = 0;
    std::uint32_t maxNameLength = 0;
    std::uint32_t maxDataSize = 0; // REG_SZ sizes count the terminating NUL
};
ValueSummary summarize(const HostKeyText& text);

// Where a listing got to: the value `index` is the line at `offset`.
struct ValueCursor {
    std::uint32_t index = 0;
    std::size_t offset = 0;
};
// Finds value `index`, walking on from the cursor (or from the start when the index lies
// behind it), and leaves the cursor there; false when there is none.
bool findValue(const HostKeyText& text, std::uint32_t index, ValueCursor& cursor, Line& line);

// Whether any line is named `name`.
bool hasName(const HostKeyText& text, const std::string& name);

// Calls write(begin, size) for each run of bytes the file keeps when the lines named `name`
// go, in order; stops at the first false.
template <typename Write>
bool forEachKeptRun(const HostKeyText& text, const std::string& name, Write&& write);

// --- implementation details of the template ------------------------------------------------

// The line at `offset`; false at the end.
bool lineAt(std::string_view bytes, std::size_t offset, Line& line);
// Whether the line's name is `name`, byte for byte.
bool named(std::string_view bytes, const Line& line, const std::string& name);
// Whether the line is one of a name deleted since the bytes were read.
bool removedLine(const HostKeyText& text, const Line& line);

template <typename Write>
bool forEachKeptRun(const HostKeyText& text, const std::string& name, Write&& write) {
    std::size_t runStart = 0;
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        if (named(text.bytes, line, name) || removedLine(text, line)) {
            if (line.begin > runStart && !write(runStart, line.begin - runStart)) {
                return false;
            }
            runStart = line.end;
        }
    }
    return text.bytes.size() == runStart || write(runStart, text.bytes.size() - runStart);
}

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
