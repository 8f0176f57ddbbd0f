// Built on forEachValue alone, so that how a key is read stays in one place.
#include "MatchingKeys.h"

#include <optional>

namespace hkcache {

using Api = PAL::RegistryApi;

Api::Status forEachMatchingKey(const Cache& cache, Api::Handle key, const KeyWalk& walk,
                               const MatchingKeyVisit& visit, Diagnostics& diagnostics) {
    const auto each = [&](std::string_view name, std::uint32_t type, std::string_view data) {
        if (!walk.filter) {
            visit(MatchingKey{cache, name, type, data, nullptr, {}});
            return;
        }
        const KeyFilter& filter = *walk.filter;
        if (!filter.mayMatch(name)) {
            return; // most names of a large cache, without parsing them
        }
        const std::optional<KeyModel::CachedName> parsed = KeyModel::parseCachedName(name);
        if (!parsed) {
            if (walk.warnUnnamed) {
                diagnostics.warning(cache.name + ": " + std::string(name),
                                    "not a host key's name: left out");
            }
            return;
        }
        const std::string host = filter.typedHost(*parsed);
        if (!filter.matches(*parsed, host)) {
            return;
        }
        const MatchingKey found{cache, name, type, data, &*parsed, host};
        const std::string refused = found.refused();
        if (refused.empty()) {
            visit(found);
        } else if (walk.warnRefused) {
            diagnostics.warning(found.where(), refused);
        }
    };
    return forEachValue(*cache.api, key, each, walk.everyPass);
}

bool forEachMatchingKey(const Cache& cache, const KeyWalk& walk, const MatchingKeyVisit& visit,
                        Diagnostics& diagnostics) {
    PAL::OpenKey key(*cache.api);
    std::string reason;
    Api::Status status = cache.open(key.out(), &reason);
    if (status == Api::NotFound) {
        return true; // nothing cached there yet
    }
    if (status == Api::Success) {
        status = forEachMatchingKey(cache, key.get(), walk, visit, diagnostics);
    }
    if (status != Api::Success) {
        diagnostics.error(cache.name, reason.empty() ? statusText(status) : reason);
        return false;
    }
    return true;
}

void reportNothingMatched(Diagnostics& diagnostics, const Selection& selection,
                          const std::vector<Cache>& caches, bool pinned) {
    if (diagnostics.failed()) {
        return; // the error said it
    }
    std::string text = "no cached key";
    for (std::size_t i = 0; i < selection.hosts.size(); ++i) {
        text.append(i == 0 ? " for " : " or ").append(selection.hosts[i]);
    }
    if (!selection.type.empty()) {
        text.append(" of type ").append(selection.type);
    }
    if (selection.port) {
        text.append(" on port ").append(std::to_string(selection.port));
    }
    if (pinned) {
        text.append(" with a pinned fingerprint");
    }
    if (caches.size() == 1) {
        text.append(" in ").append(caches.front().name);
    } else {
        text.append(" in any of ").append(std::to_string(caches.size())).append(" caches");
        for (std::size_t i = 0; i < caches.size(); ++i) {
            text.append(i == 0 ? ": " : ", ").append(caches[i].name);
        }
    }
    diagnostics.note(text);
}

} // namespace hkcache
