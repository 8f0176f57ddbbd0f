// PuTTY for Unix's host-key file format: walking the values, finding the lines of a name.
#include "PosixHostKeyFormat.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace PAL {
namespace detail {
namespace {

// A line that is no value: empty, or with a NUL in its name (PuTTY never writes one, and none
// could be asked for by name).
bool isValue(const HostKeyText& text, const Line& line) {
    return line.textEnd != line.begin &&
           (line.nameEnd <= text.nulFreeUntil ||
            !std::memchr(text.bytes.data() + line.begin, '\0', line.nameEnd - line.begin)) &&
           !removedLine(text, line);
}

} // namespace

std::size_t firstNul(std::string_view bytes) {
    const void* nul = std::memchr(bytes.data(), '\0', bytes.size());
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data())
               : bytes.size();
}

bool lineAt(std::string_view bytes, std::size_t offset, Line& line) {
    const std::size_t size = bytes.size();
    if (offset >= size) {
        return false;
    }
    const char* base = bytes.data();
    const void* newline = std::memchr(base + offset, '\n', size - offset);
    line.begin = offset;
    line.end = size;
    line.textEnd = size;
    if (newline) {
        line.textEnd = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
        line.end = line.textEnd + 1;
        if (line.textEnd > offset && base[line.textEnd - 1] == '\r') {
            --line.textEnd;
        }
    }
    const void* space = std::memchr(base + offset, ' ', line.textEnd - offset);
    line.nameEnd =
        space ? static_cast<std::size_t>(static_cast<const char*>(space) - base) : line.textEnd;
    line.data = line.nameEnd < line.textEnd ? line.nameEnd + 1 : line.textEnd;
    return true;
}

bool named(std::string_view bytes, const Line& line, const std::string& name) {
    return line.nameEnd - line.begin == name.size() &&
           std::memcmp(bytes.data() + line.begin, name.data(), name.size()) == 0;
}

bool removedLine(const HostKeyText& text, const Line& line) {
    for (const std::string& name : text.removed) {
        if (named(text.bytes, line, name)) {
            return true;
        }
    }
    return false;
}

ValueSummary summarize(const HostKeyText& text) {
    ValueSummary summary;
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        if (isValue(text, line)) {
            ++summary.count;
            summary.maxNameLength = std::max(summary.maxNameLength, line.nameLength());
            summary.maxDataSize = std::max(summary.maxDataSize, line.dataLength() + 1);
        }
    }
    return summary;
}

bool findValue(const HostKeyText& text, std::uint32_t index, ValueCursor& cursor, Line& line) {
    if (index < cursor.index) {
        cursor = ValueCursor{};
    }
    for (std::size_t offset = cursor.offset; lineAt(text.bytes, offset, line); offset = line.end) {
        if (!isValue(text, line)) {
            continue;
        }
        if (cursor.index == index) {
            cursor.offset = line.begin;
            return true;
        }
        ++cursor.index;
    }
    // At the end: the cursor stays on the last value counted, none of which was `index`.
    cursor = ValueCursor{};
    return false;
}

bool hasName(const HostKeyText& text, const std::string& name) {
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        if (named(text.bytes, line, name) && !removedLine(text, line)) {
            return true;
        }
    }
    return false;
}

namespace {

std::uint32_t hashOf(std::string_view name) {
    const std::size_t hash = std::hash<std::string_view>()(name);
    return static_cast<std::uint32_t>(hash ^ (std::uint64_t(hash) >> 32));
}

} // namespace

ValueBatch::ValueBatch(const std::vector<std::string>& removals,
                       const RegistryApi::ValueSource& sets)
    : removed(removals), stored(sets) {
    // One name (a delete) is compared directly.
    if (removals.size() > 1) {
        removedNames.reserve(removals.size());
        removedNames.insert(removals.begin(), removals.end());
    }
    if (sets.size() == 0) {
        return;
    }
    // At most half full, so that a probe ends soon.
    std::size_t slots = 2;
    while (slots < 2 * sets.size()) {
        slots *= 2;
    }
    lastSet.assign(slots, 0);
    shadowed.assign(sets.size(), false);
    std::string name;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        sets.name(i, name);
        const std::uint32_t hash = hashOf(name);
        std::uint64_t& held = lastSet[slotOf(name, hash)];
        if (held != 0) {
            shadowed[static_cast<std::uint32_t>(held) - 1] = true;
        }
        held = std::uint64_t(hash) << 32 | (i + 1);
    }
}

std::size_t ValueBatch::slotOf(std::string_view name, std::uint32_t hash) const {
    const std::size_t mask = lastSet.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t held = lastSet[slot];
        if (held == 0) {
            return slot;
        }
        if (held >> 32 == hash) {
            stored.name(static_cast<std::uint32_t>(held) - 1, scratch);
            if (scratch == name) {
                return slot;
            }
        }
    }
}

bool ValueBatch::removes(std::string_view name) const {
    if (removed.size() == 1) {
        return name == removed.front();
    }
    return !removedNames.empty() && removedNames.count(name) != 0;
}

bool ValueBatch::setFor(std::string_view name, std::size_t* place) const {
    if (lastSet.empty()) {
        return false;
    }
    const std::uint64_t held = lastSet[slotOf(name, hashOf(name))];
    if (held == 0) {
        return false;
    }
    *place = static_cast<std::uint32_t>(held) - 1;
    return true;
}

bool removesAny(const HostKeyText& text, const ValueBatch& batch) {
    Line line{};
    for (std::size_t offset = 0; lineAt(text.bytes, offset, line); offset = line.end) {
        std::size_t place = 0;
        const std::string_view name = nameOf(text.bytes, line);
        if (batch.removes(name) && !batch.setFor(name, &place) && !removedLine(text, line)) {
            return true;
        }
    }
    return false;
}

} // namespace detail
} // namespace PAL
