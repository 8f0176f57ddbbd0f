// Names of the keys being imported, each with the first key that has it, as the registry
// compares names. Only hashes are stored, so that each key costs a few bytes here: a name is
// made again from its key only when two hashes are equal.
#ifndef HK_GUI_HKCACHE_NAMEINDEX_H
#define HK_GUI_HKCACHE_NAMEINDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hkcache {

class NameIndex {
public:
    // `nameOf(i)`: the compared name of key i.
    using NameOf = std::function<std::string(std::size_t)>;

    explicit NameIndex(NameOf nameOf);
    // Room for `count` names without growing.
    void reserve(std::size_t count);
    // Adds key `index` under `name` unless a key has it already: (that key, false) then.
    std::pair<std::size_t, bool> emplace(std::string_view name, std::size_t index);
    // The key that has `name`.
    std::optional<std::size_t> find(std::string_view name) const;
    bool empty() const { return count == 0; }

private:
    // The slot that holds `name`, or the empty one where it goes.
    std::size_t slotOf(std::string_view name, std::uint32_t hash) const;

    NameOf nameOf;
    // Open addressing: a name's hash in the high half, its key + 1 in the low; 0 is empty.
    std::vector<std::uint64_t> slots;
    std::size_t count = 0;
};

} // namespace hkcache

#endif // HK_GUI_HKCACHE_NAMEINDEX_H
