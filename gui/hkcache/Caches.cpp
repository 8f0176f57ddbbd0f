// Reading a cache key, and the profiles under HKEY_USERS, over the registry seam.
#include "Caches.h"

#include "KeyModel/Digest.h"
#include "KeyModel/HostKey.h"

#include "PAL/PuttyCache.h"
#include "PAL/RegistryKey.h"

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

std::vector<Cache> profileCache(const std::string& sid, Diagnostics& diagnostics) {
    OpenKey profile(PAL::registryApi());
    const Api::Status status =
        PAL::registryApi().openKey(Api::rootHandle(UsersRoot), sid.c_str(), profile.out());
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

namespace {

// What a key's info query says changed when another program stored or deleted a value.
struct KeyState {
    std::uint32_t values = 0;
    std::uint64_t written = 0;
    bool operator==(const KeyState& other) const {
        return values == other.values && written == other.written;
    }
};

Api::Status keyState(Api& api, Api::Handle key, KeyState* state) {
    return api.queryInfoKey(key, nullptr, nullptr, nullptr, &state->values, nullptr, nullptr,
                            &state->written);
}

using Visit = ValueVisit;

// One pass over a key's values, from the first or (`backward`) from the last.
Api::Status readPass(Api& api, Api::Handle key, const Visit& visit, bool backward = false) {
    std::uint32_t count = 0;
    std::uint32_t longestName = 0;
    std::uint32_t longestData = 0;
    Api::Status status = api.queryInfoKey(key, nullptr, nullptr, nullptr, &count, &longestName,
                                          &longestData, nullptr);
    if (status != Api::Success) {
        return status;
    }
    // The info query's name length leaves the NUL out; its data length counts REG_SZ's NUL.
    std::vector<char> name(std::size_t(longestName) + 1);
    std::vector<unsigned char> data(std::size_t(longestData) + 1);
    int grown = 0;
    if (backward && count == 0) {
        return Api::Success;
    }
    for (std::uint32_t index = backward ? count - 1 : 0;;) {
        std::uint32_t nameLength = std::uint32_t(name.size());
        std::uint32_t dataSize = std::uint32_t(data.size());
        std::uint32_t type = 0;
        status = api.enumValue(key, index, name.data(), &nameLength, &type, data.data(), &dataSize);
        // A backend that keeps asking for more is not followed for ever.
        if (status == Api::MoreData && ++grown <= 16) {
            // Grown under us: the sizes asked again, or doubled where they were enough.
            std::uint32_t names = 0;
            std::uint32_t datas = 0;
            if (api.queryInfoKey(key, nullptr, nullptr, nullptr, nullptr, &names, &datas,
                                 nullptr) != Api::Success) {
                names = 0;
                datas = 0;
            }
            name.resize(std::max<std::size_t>(std::size_t(names) + 1, name.size() * 2));
            data.resize(std::max<std::size_t>(
                {std::size_t(datas) + 1, std::size_t(dataSize), data.size() * 2}));
            continue;
        }
        if (status == Api::NoMoreItems && !backward) {
            return Api::Success;
        }
        if (status != Api::Success && status != Api::NoMoreItems) {
            return status;
        }
        grown = 0;
        // Shrunk under a backward pass: the next index down.
        if (status == Api::NoMoreItems) {
            if (index-- == 0) {
                return Api::Success;
            }
            continue;
        }
        std::size_t size = std::min<std::size_t>(dataSize, data.size());
        // REG_SZ's terminating NULs (some writers leave more than one); a NUL inside the data
        // is the data's.
        while (type == Api::RegSz && size > 0 && data[size - 1] == '\0') {
            --size;
        }
        visit(std::string_view(name.data(), nameLength), type,
              std::string_view(reinterpret_cast<const char*>(data.data()), size));
        if (!backward) {
            ++index;
        } else if (index-- == 0) {
            return Api::Success;
        }
    }
}

} // namespace

Api::Status forEachValue(Api& api, Api::Handle key, const Visit& visit, bool everyPass) {
    if (api.keysAreSnapshots()) {
        return readPass(api, key, visit);
    }
    // Enumeration is by index: another program's delete moves every later value up one, so a
    // pass it ran under may skip a value. Only a pass the key did not change under is shown,
    // or the last of PAL::RegistryKey::ListingPasses; or, for everyPass, what any pass saw,
    // every other pass read from the last value down: a deletion cannot hide a value from a
    // pass that goes down, nor an insertion (the registry keeps names sorted) from one going up.
    struct ValueSpan {
        std::size_t name, nameLength, data, dataLength;
        std::uint32_t type;
    };
    std::string arena;
    std::vector<ValueSpan> values;
    std::unordered_set<std::string> seen;
    std::string folded;
    const Visit keep = [&](std::string_view name, std::uint32_t type, std::string_view data) {
        // An insertion before the pass's index shows a value twice.
        if (!seen.insert(std::string(comparedView(name, folded))).second) {
            return;
        }
        values.push_back(
            {arena.size(), name.size(), arena.size() + name.size(), data.size(), type});
        arena.append(name).append(data);
    };
    for (int pass = 1;; ++pass) {
        if (!everyPass) {
            arena.clear();
            values.clear();
            seen.clear();
        }
        KeyState before;
        KeyState after;
        Api::Status status = keyState(api, key, &before);
        if (status == Api::Success) {
            status = readPass(api, key, keep, everyPass && pass % 2 == 0);
        }
        if (status == Api::Success) {
            status = keyState(api, key, &after);
        }
        if (status != Api::Success) {
            return status;
        }
        if (before == after || pass == PAL::RegistryKey::ListingPasses) {
            break;
        }
    }
    const std::string_view text(arena);
    for (const ValueSpan& value : values) {
        visit(text.substr(value.name, value.nameLength), value.type,
              text.substr(value.data, value.dataLength));
    }
    return Api::Success;
}

} // namespace hkcache
