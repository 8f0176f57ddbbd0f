// Reading a cache key, and the profiles under HKEY_USERS, over the registry seam.
#include "Caches.h"

#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"

#include "PAL/PuttyCache.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;
constexpr std::uint32_t UsersRoot = PAL::RegistryConstants::UsersHandle;
using PAL::puttyCacheSubKey;

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           sameText(text.substr(text.size() - suffix.size()), suffix, true);
}

// Sub-key names of an open key; a name that outgrew the buffer grows it and is asked again.
Api::Status subKeyNames(Api& api, Api::Handle key, std::vector<std::string>& names) {
    std::uint32_t longest = 0;
    Api::Status status =
        api.queryInfoKey(key, nullptr, &longest, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (status != Api::Success) {
        return status;
    }
    // The info query's lengths leave the NUL out.
    std::vector<char> name(std::size_t(longest) + 1);
    for (std::uint32_t index = 0;;) {
        std::uint32_t length = std::uint32_t(name.size());
        status = api.enumKey(key, index, name.data(), &length);
        if (status == Api::MoreData) {
            name.resize(name.size() * 2);
            continue;
        }
        if (status == Api::NoMoreItems) {
            return Api::Success;
        }
        if (status != Api::Success) {
            return status;
        }
        names.emplace_back(name.data(), length);
        ++index;
    }
}

std::string usersName(const std::string& profile) {
    return "HKEY_USERS\\" + profile + "\\" + puttyCacheSubKey();
}

} // namespace

Cache registryCache(std::string name, std::uint32_t root, std::string subKey) {
    return Cache{std::move(name), &PAL::registryApi(),
                 [root, subKey](Api::Handle* key, std::string*) {
                     return PAL::registryApi().openKey(Api::rootHandle(root), subKey.c_str(), key);
                 },
                 [root, subKey](Api::Handle* key, std::string*) {
                     return PAL::registryApi().createKey(Api::rootHandle(root), subKey.c_str(),
                                                         key);
                 },
                 std::nullopt};
}

std::string_view comparedView(std::string_view name, std::string& scratch) {
    if (!namesIgnoreCase()) {
        return name;
    }
    scratch.assign(name);
    std::transform(scratch.begin(), scratch.end(), scratch.begin(), asciiLower);
    return scratch;
}

bool sameText(std::string_view a, std::string_view b, bool ignoreCase) {
    if (a.size() != b.size()) {
        return false;
    }
    return ignoreCase ? std::equal(a.begin(), a.end(), b.begin(),
                                   [](char x, char y) { return asciiLower(x) == asciiLower(y); })
                      : a == b;
}

std::string comparedName(std::string_view name) {
    std::string scratch;
    return std::string(comparedView(name, scratch));
}

std::string notAHostKey(std::string_view name, std::uint32_t type, std::string_view data) {
    if (type != Api::RegSz) {
        return "not a host key (registry type " + std::to_string(type) + ", not REG_SZ): left out";
    }
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (std::any_of(data.begin(), data.end(), control)) {
        return "not a host key (a control character in its data): left out";
    }
    // Other control characters are shown escaped; a line break would split a backup's line.
    if (name.find_first_of("\r\n") != std::string_view::npos) {
        return "not a host key (a line break in its name): left out";
    }
    return {};
}

std::string fingerprintOf(std::string_view keyType, std::string_view data) {
    const KeyModel::ParsedKey parsed = KeyModel::parsePuttyKey(keyType, data);
    return parsed.key && !parsed.key->wire.empty() ? KeyModel::sha256Fingerprint(parsed.key->wire)
                                                   : "-";
}

std::vector<Cache> loadedProfileCaches(Diagnostics& diagnostics) {
    std::vector<std::string> profiles;
    const Api::Status status =
        subKeyNames(PAL::registryApi(), Api::rootHandle(UsersRoot), profiles);
    if (status != Api::Success) {
        diagnostics.error("HKEY_USERS", statusText(status));
    }
    std::vector<Cache> caches;
    for (const std::string& profile : profiles) {
        // Each profile's classes are loaded beside it as <SID>_Classes.
        if (!endsWithIgnoringCase(profile, "_Classes")) {
            caches.push_back(
                registryCache(usersName(profile), UsersRoot, profile + "\\" + puttyCacheSubKey()));
        }
    }
    return caches;
}

std::vector<Cache> readableCaches(std::vector<Cache> caches, bool keepMissing,
                                  Diagnostics& diagnostics) {
    std::vector<Cache> kept;
    for (Cache& cache : caches) {
        PAL::OpenKey key(*cache.api);
        std::string reason;
        const Api::Status status = cache.open(key.out(), &reason);
        if (status == Api::Success || (keepMissing && status == Api::NotFound)) {
            kept.push_back(std::move(cache));
        } else if (status != Api::NotFound) {
            diagnostics.refused(cache.name, reason.empty() ? statusText(status) : reason);
        }
    }
    return kept;
}

std::vector<Cache> profileCache(const std::string& sid, Diagnostics& diagnostics) {
    PAL::OpenKey profile;
    const Api::Status status = profile.open(Api::rootHandle(UsersRoot), sid);
    if (status == Api::NotFound) {
        diagnostics.error("HKEY_USERS\\" + sid, "no such profile is loaded");
        return {};
    }
    if (status != Api::Success) {
        diagnostics.error("HKEY_USERS\\" + sid, statusText(status));
        return {};
    }
    return {registryCache(usersName(sid), UsersRoot, sid + "\\" + puttyCacheSubKey())};
}

Api::Status forEachValue(Api& api, Api::Handle key, const ValueVisit& visit, bool everyPass) {
    PAL::ValueWalk walk(api, key, PAL::ValueWalk::Reading::Values);
    if (walk.snapshots()) {
        return walk.pass(visit);
    }
    // Collected, each value once, before any is visited: a value inserted during a pass shifts
    // the indexes and shows another one twice.
    struct ValueSpan {
        std::size_t name, nameLength, data, dataLength;
        std::uint32_t type;
    };
    std::string arena;
    std::vector<ValueSpan> values;
    std::unordered_set<std::string> seen;
    std::string folded;
    const Api::Status status = walk.passes(
        [&] {
            if (!everyPass) {
                arena.clear();
                values.clear();
                seen.clear();
            }
        },
        [&](std::string_view name, std::uint32_t type, std::string_view data) {
            if (seen.insert(std::string(comparedView(name, folded))).second) {
                values.push_back(
                    {arena.size(), name.size(), arena.size() + name.size(), data.size(), type});
                arena.append(name).append(data);
            }
        },
        everyPass);
    if (status != Api::Success) {
        return status;
    }
    const std::string_view text(arena);
    for (const ValueSpan& value : values) {
        visit(text.substr(value.name, value.nameLength), value.type,
              text.substr(value.data, value.dataLength));
    }
    return Api::Success;
}

} // namespace hkcache
