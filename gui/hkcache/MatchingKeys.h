// The one walk every command makes over a cache, as OpenSSH's hostkeys_foreach walks a
// known_hosts file: each value, or each that a filter lets through, parsed.
#ifndef HK_GUI_HKCACHE_MATCHINGKEYS_H
#define HK_GUI_HKCACHE_MATCHINGKEYS_H

#include "Caches.h"
#include "Command.h"
#include "Diagnostics.h"
#include "HostFilter.h"

#include "KeyModel/CachedName.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

// One value of a cache that the walk lets through; its views last for the visit only.
struct MatchingKey {
    const Cache& cache;
    std::string_view name;
    std::uint32_t type;
    std::string_view data;
    const KeyModel::CachedName* parsed; // null when the walk has no filter
    std::string_view host;              // as the user types it; empty without a filter

    // notAHostKey's reason; empty when it may be a host key.
    std::string refused() const { return notAHostKey(name, type, data); }
    // Where a message about it points.
    std::string where() const { return cache.name + ": " + std::string(name); }
};

using MatchingKeyVisit = std::function<void(const MatchingKey&)>;

struct KeyWalk {
    // Only the host keys it lets through are visited; null: every value, unparsed.
    const KeyFilter* filter = nullptr;
    // forEachValue's everyPass: what a removal must not miss while others change the key.
    bool everyPass = false;
    // A warning for each name that is no host key's (a listing of everything).
    bool warnUnnamed = false;
    // A warning for each value the filter lets through that is no host key.
    bool warnRefused = true;
};

// The walk over `key`, open in `cache`: Success, or the status of the read that failed.
PAL::RegistryApi::Status forEachMatchingKey(const Cache& cache, PAL::RegistryApi::Handle key,
                                            const KeyWalk& walk, const MatchingKeyVisit& visit,
                                            Diagnostics& diagnostics);

// The walk over `cache`, opened and closed again (caches are held one at a time); one not made
// yet holds nothing. False, with the cache's error reported, when it cannot be read.
bool forEachMatchingKey(const Cache& cache, const KeyWalk& walk, const MatchingKeyVisit& visit,
                        Diagnostics& diagnostics);

// One line on standard error for a command that found nothing: what `selection` looked for and
// in which of `caches` (each by the name it was read under: the file PuTTY for Unix reads may
// hide another), as ssh-keygen -R says "Host ... not found in ...". `pinned`: only keys of
// fingerprints given were asked for. Nothing after an error.
void reportNothingMatched(Diagnostics& diagnostics, const Selection& selection,
                          const std::vector<Cache>& caches, bool pinned = false);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_MATCHINGKEYS_H
