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
        return loadedProfileCaches(diagnostics);
    }
    const std::string name = which.substr(5);
    if (name.rfind("S-1-", 0) == 0 || name.rfind("s-1-", 0) == 0 || name == ".DEFAULT") {
        return profileCache(name, diagnostics);
    }
    std::string reason;
    const std::optional<std::string> sid = PAL::accountSid(name, &reason);
    if (!sid) {
        diagnostics.error(which, reason);
        return {};
    }
    return profileCache(*sid, diagnostics);
}

} // namespace hkcache
