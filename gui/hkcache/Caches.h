// The caches a run reads: which ones `--cache` names on this platform, and reading one.
#ifndef HK_GUI_HKCACHE_CACHES_H
#define HK_GUI_HKCACHE_CACHES_H

#include "Diagnostics.h"

#include "PAL/OpenKey.h"
#include "PAL/RegistryApi.h"
#include "PAL/ValueWalk.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hkcache {

struct Cache {
    std::string name; // its registry key or file, as messages name it
    PAL::RegistryApi* api;
    // Opens the cache key in `api`; NotFound means no key has been cached there yet. A
    // failure may say more than its status in `reason`.
    std::function<PAL::RegistryApi::Status(PAL::RegistryApi::Handle*, std::string* reason)> open;
    // Opens the cache key for writing, making it first where this program may make it (as
    // open where it may not).
    std::function<PAL::RegistryApi::Status(PAL::RegistryApi::Handle*, std::string* reason)> create;
    // POSIX: the user whose file another user's cache is (what root writes beside it is theirs).
    std::optional<std::uint32_t> owner;
    // The account whose profile (Windows) or home (POSIX) holds another user's cache, named
    // beside it; empty when not looked up.
    std::string account{};
};

// A cache at `subKey` below a root (its 32-bit handle value), through the backend in force.
Cache registryCache(std::string name, std::uint32_t root, std::string subKey);

// Every profile loaded under HKEY_USERS (.DEFAULT included; the *_Classes keys are not
// profiles), each one's PuTTY cache.
std::vector<Cache> loadedProfileCaches(Diagnostics& diagnostics);

// A loaded profile's cache by its SID; an error when HKEY_USERS has no such profile.
std::vector<Cache> profileCache(const std::string& sid, Diagnostics& diagnostics);

// Per platform: the caches that `current`, `default`, `all` or `user:NAME` stands for. What
// cannot be had is reported: an error, or, for one of every user's caches, a refusal that
// leaves it out and lets the run go on with the others.
std::vector<Cache> selectCaches(const std::string& which, Diagnostics& diagnostics);

// The caches of `caches` that can be read; each other one is reported as refused, and the run
// goes on with the rest. `keepMissing`: one not made yet is kept (else left out).
std::vector<Cache> readableCaches(std::vector<Cache> caches, bool keepMissing,
                                  Diagnostics& diagnostics);

// Per platform: whether cached names compare ignoring case (the registry) or not (a file).
bool namesIgnoreCase();
// Per platform: whether hosts in cached names are escaped (PuTTY for Windows) or stored as
// they were typed (PuTTY for Unix).
bool hostsEscaped();

// Calls `visit` with each value's name, type and data (REG_SZ's NUL removed) in enumeration
// order, each name once, from a pass that the key did not change under (PAL::ValueWalk's rule).
// Success, or the status of the call that failed.
using ValueVisit = PAL::ValueWalk::Visit;
// `everyPass`: each value that any pass saw, once (its first spelling and data), even when the
// key never stood still: what a removal must not miss while other programs change the key.
PAL::RegistryApi::Status forEachValue(PAL::RegistryApi& api, PAL::RegistryApi::Handle key,
                                      const ValueVisit& visit, bool everyPass = false);

// Why a value is no host key that PuTTY would read (not REG_SZ, a control byte in its data, a
// line break in its name: either would break a backup's lines); empty when it may be one. Such
// a value is left out of every listing, change and backup, with a warning.
std::string notAHostKey(std::string_view name, std::uint32_t type, std::string_view data);

// An ASCII letter in lower case, as the registry folds names (other bytes stay as they are).
inline char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
// Whether two texts are equal, ASCII letters folded when `ignoreCase`.
bool sameText(std::string_view a, std::string_view b, bool ignoreCase);

// A cached name as the registry compares it: ASCII letters folded where namesIgnoreCase().
std::string comparedName(std::string_view name);
// The same without a copy where names are exact; `scratch` holds a folded name.
std::string_view comparedView(std::string_view name, std::string& scratch);

// The SHA-256 fingerprint of PuTTY's stored key, or "-" for an SSH-1 key or data not understood.
std::string fingerprintOf(std::string_view keyType, std::string_view data);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_CACHES_H
