// Reading every value of an open key by index, and the rule for a key that another program
// changes meanwhile: its delete moves every later value up one index, so a pass it ran under
// may skip a value. A pass is trusted when the key's value count and last-write time are the
// same after it as before (a clock too coarse to move still sees a delete in the count).
#ifndef PAL_VALUEWALK_H
#define PAL_VALUEWALK_H

#include "PAL/RegistryApi.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace PAL {

class ValueWalk {
public:
    // What a pass hands over for each value: its name (cut at a NUL), type and data (REG_SZ's
    // terminating NULs removed; empty when only names are read).
    using Visit =
        std::function<void(std::string_view name, std::uint32_t type, std::string_view data)>;

    enum class Reading {
        // Names and types: an index that cannot be read is left out, a failed query lists
        // nothing, and a pass stops at the count the key had when it began (hkprune's listing).
        Names,
        // Names, types and data: the first call that fails ends the walk with its status, and a
        // pass goes on to the registry's last item.
        Values,
    };

    // Passes over the values, at most this many; the last is taken as it is.
    static constexpr int MostPasses = 8;

    ValueWalk(RegistryApi& backend, RegistryApi::Handle opened, Reading what)
        : api(backend), key(opened), reading(what) {}

    // Whether nothing another program does can change what one pass sees: one pass may then
    // be used as it goes.
    bool snapshots() const { return api.keysAreSnapshots(); }

    // One pass, from the first value or (`backward`) from the last. `*unchanged`, when asked
    // for, tells whether the key stood still under it.
    RegistryApi::Status pass(const Visit& visit, bool backward = false, bool* unchanged = nullptr);

    // Passes until one that the key stood still under (one on a snapshot). `beginPass` comes
    // before each: the caller drops what an earlier pass gave it, or keeps it to hold what any
    // pass saw. `alternate` reads every other pass from the last value down: a delete cannot
    // hide a value from a pass that goes down, nor an insertion (the registry keeps names
    // sorted) from one that goes up.
    RegistryApi::Status passes(const std::function<void()>& beginPass, const Visit& visit,
                               bool alternate = false);

private:
    struct KeyState {
        std::uint32_t values = 0;
        std::uint32_t longestName = 0;
        std::uint32_t longestData = 0;
        std::uint64_t written = 0;
    };
    RegistryApi::Status query(KeyState& state);
    // Reads `index` into the buffers, growing them while the registry asks for more.
    RegistryApi::Status read(std::uint32_t index, std::uint32_t& nameLength, std::uint32_t& type,
                             std::uint32_t& dataSize);
    bool grow(std::uint32_t dataSize);
    void hand(const Visit& visit, std::uint32_t nameLength, std::uint32_t type,
              std::uint32_t dataSize) const;

    RegistryApi& api;
    RegistryApi::Handle key;
    Reading reading;
    std::vector<char> name;
    std::vector<unsigned char> data;
};

} // namespace PAL

#endif // PAL_VALUEWALK_H
