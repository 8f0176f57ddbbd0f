// Windows: the caches are registry keys, the caller's own (HKEY_CURRENT_USER) and the
// profiles loaded under HKEY_USERS.
#include "Caches.h"

#include "PAL/Accounts.h"
#include "PAL/PuttyCache.h"

namespace hkcache {
namespace {

constexpr std::uint32_t CurrentUserRoot = PAL::RegistryConstants::CurrentUserHandle;
constexpr std::uint32_t UsersRoot = PAL::RegistryConstants::UsersHandle;
using PAL::puttyCacheSubKey;

// Each profile's account, looked up from the SID in its path (HKEY_USERS\<SID>\...).
std::vector<Cache> withAccounts(std::vector<Cache> caches) {
    constexpr std::string_view Users = "HKEY_USERS\\";
    for (Cache& cache : caches) {
        const std::size_t end = cache.name.find('\\', Users.size());
        const std::string sid = cache.name.substr(Users.size(), end - Users.size());
        cache.account = PAL::accountName(sid).value_or("");
    }
    return caches;
}

} // namespace

bool hostsEscaped() {
    return true;
}

bool namesIgnoreCase() {
    return true;
}

std::vector<Cache> selectCaches(const std::string& which, Diagnostics& diagnostics) {
    if (which == "current") {
        return {registryCache(std::string("HKEY_CURRENT_USER\\") + puttyCacheSubKey(),
                              CurrentUserRoot, puttyCacheSubKey())};
    }
    if (which == "default") {
        return {registryCache(std::string("HKEY_USERS\\.DEFAULT\\") + puttyCacheSubKey(), UsersRoot,
                              std::string(".DEFAULT\\") + puttyCacheSubKey())};
    }
    if (which == "all") {
        return withAccounts(readableCaches(loadedProfileCaches(diagnostics), true, diagnostics));
    }
    const std::string name = which.substr(5);
    if (name.rfind("S-1-", 0) == 0 || name.rfind("s-1-", 0) == 0 || name == ".DEFAULT") {
        return withAccounts(profileCache(name, diagnostics));
    }
    std::string reason;
    const std::optional<std::string> sid = PAL::accountSid(name, &reason);
    if (!sid) {
        diagnostics.error(which, reason);
        return {};
    }
    return withAccounts(profileCache(*sid, diagnostics));
}

} // namespace hkcache
