// PuTTY for Unix's host-key file format: one value a line, its name up to the first space, its
// data the rest of the line; "\n" or "\r\n" ends a line, and a last line may have neither.
// Everything here reads the file's bytes where they lie: nothing is stored per line.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H

#include "PAL/RegistryApi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

// Changes made in one rewrite: the lines of `removals` go, then every line of a name in `sets`
// gets that name's data (the last given for it), and the names of `sets` that no line has
// are added at the end, in order. Holds references to both; keeps no name of `sets`, only
// their hashes: a name is asked of the source again where two hashes meet.
class ValueBatch {
public:
    ValueBatch(const std::vector<std::string>& removals, const RegistryApi::ValueSource& sets);
    const std::vector<std::string>& removals() const { return removed; }
    const RegistryApi::ValueSource& sets() const { return stored; }
    bool removes(std::string_view name) const;
    // Whether `name` is set; *place is then the place in sets() of the value it takes.
    bool setFor(std::string_view name, std::size_t* place) const;
    // Whether sets()[place] is the last given for its name, the one that is stored.
    bool lastFor(std::size_t place) const { return !shadowed[place]; }

private:
    // The slot of `name` (hash `hash`) in lastSet: the one holding it, or the empty one where
    // it goes.
    std::size_t slotOf(std::string_view name, std::uint32_t hash) const;

    const std::vector<std::string>& removed;
    const RegistryApi::ValueSource& stored;
    std::unordered_set<std::string_view> removedNames; // more than one removal only
    // Open addressing: a name's hash in the high half, its place + 1 in the low; 0 is empty.
    std::vector<std::uint64_t> lastSet;
    std::vector<bool> shadowed; // a later value has the name
    mutable std::string scratch;
};

// Whether the batch removes a line of `text` that has no data to take instead.
bool removesAny(const HostKeyText& text, const ValueBatch& batch);

// Calls write(begin, size) for each run of bytes the file keeps when the lines the batch
// removes go, in order; stops at the first false. For a batch without sets.
template <typename Write>
bool forEachKeptRun(const HostKeyText& text, const ValueBatch& batch, Write&& write);

// Calls write(bytes, size) for every piece of the file once the batch is applied, in order;
// stops at the first false.
template <typename Write>
bool forEachChangedPiece(const HostKeyText& text, const ValueBatch& batch, Write&& write);

// --- implementation details of the template ------------------------------------------------

// The line at `offset`; false at the end.
bool lineAt(std::string_view bytes, std::size_t offset, Line& line);
// Whether the line's name is `name`, byte for byte.
bool named(std::string_view bytes, const Line& line, const std::string& name);
// Whether the line is one of a name deleted since the bytes were read.
bool removedLine(const HostKeyText& text, const Line& line);

// The name of a line.
inline std::string_view nameOf(std::string_view bytes, const Line& line) {
    return bytes.substr(line.begin, line.nameEnd - line.begin);
}

template <typename Write>
bool forEachKeptRun(const HostKeyText& text, const ValueBatch& batch, Write&& write) {
    std::size_t runStart = 0;
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        if (batch.removes(nameOf(text.bytes, line)) || removedLine(text, line)) {
            if (line.begin > runStart && !write(runStart, line.begin - runStart)) {
                return false;
            }
            runStart = line.end;
        }
    }
    return text.bytes.size() == runStart || write(runStart, text.bytes.size() - runStart);
}

template <typename Write>
bool forEachChangedPiece(const HostKeyText& text, const ValueBatch& batch, Write&& write) {
    const RegistryApi::ValueSource& sets = batch.sets();
    std::vector<bool> placed(sets.size());
    RegistryApi::ValueText value;
    char last = '\n'; // an empty file needs no line break before an added line
    const auto put = [&](const char* bytes, std::size_t size) {
        if (size == 0) {
            return true;
        }
        last = bytes[size - 1];
        return write(bytes, size);
    };
    // The value at `place`, asked of the source, as a line.
    const auto putLine = [&](std::size_t place, const char* end, std::size_t endSize) {
        sets.name(place, value.name);
        sets.data(place, value.data);
        return put(value.name.data(), value.name.size()) && put(" ", 1) &&
               put(value.data.data(), value.data.size()) && put(end, endSize);
    };
    const char* bytes = text.bytes.data();
    std::size_t runStart = 0;
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        // A line deleted since the read stays gone, whatever the batch says of its name.
        const bool deleted = removedLine(text, line);
        std::size_t place = 0;
        const bool set = !deleted && batch.setFor(nameOf(text.bytes, line), &place);
        const bool gone = deleted || (!set && batch.removes(nameOf(text.bytes, line)));
        if (!set && !gone) {
            continue;
        }
        if (!put(bytes + runStart, line.begin - runStart)) {
            return false;
        }
        runStart = line.end;
        // A line keeps its own ending ("\r\n", "\n", or none at the end of the file).
        if (set && !putLine(place, bytes + line.textEnd, line.end - line.textEnd)) {
            return false;
        }
        if (set) {
            placed[place] = true;
        }
    }
    if (!put(bytes + runStart, text.bytes.size() - runStart)) {
        return false;
    }
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (placed[i] || !batch.lastFor(i)) {
            continue;
        }
        placed[i] = true;
        if ((last != '\n' && !put("\n", 1)) || !putLine(i, "\n", 1)) {
            return false;
        }
    }
    return true;
}

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYFORMAT_H
