#include "NameIndex.h"

namespace hkcache {
namespace {

std::uint32_t hashOf(std::string_view name) {
    const std::size_t hash = std::hash<std::string_view>()(name);
    return static_cast<std::uint32_t>(hash ^ (std::uint64_t(hash) >> 32));
}

} // namespace

NameIndex::NameIndex(NameOf names) : nameOf(std::move(names)) {}

void NameIndex::reserve(std::size_t wanted) {
    // At most half full, so that a probe ends soon.
    std::size_t size = 16;
    while (size < 2 * wanted) {
        size *= 2;
    }
    if (size <= slots.size()) {
        return;
    }
    std::vector<std::uint64_t> old(size, 0);
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    // Rehashed from the stored hashes: growing makes no name again.
    for (const std::uint64_t held : old) {
        std::size_t slot = (held >> 32) & mask;
        while (held != 0 && slots[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots[slot] = held != 0 ? held : slots[slot];
    }
}

std::size_t NameIndex::slotOf(std::string_view name, std::uint32_t hash) const {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t held = slots[slot];
        if (held == 0 ||
            (held >> 32 == hash && nameOf(static_cast<std::uint32_t>(held) - 1) == name)) {
            return slot;
        }
    }
}

std::pair<std::size_t, bool> NameIndex::emplace(std::string_view name, std::size_t index) {
    reserve(count + 1);
    const std::uint32_t hash = hashOf(name);
    std::uint64_t& held = slots[slotOf(name, hash)];
    if (held != 0) {
        return {static_cast<std::uint32_t>(held) - 1, false};
    }
    held = std::uint64_t(hash) << 32 | (index + 1);
    ++count;
    return {index, true};
}

std::optional<std::size_t> NameIndex::find(std::string_view name) const {
    if (count == 0) {
        return std::nullopt;
    }
    const std::uint64_t held = slots[slotOf(name, hashOf(name))];
    return held == 0 ? std::nullopt : std::optional<std::size_t>(std::uint32_t(held) - 1);
}

} // namespace hkcache
