// POSIX: the caches are PuTTY for Unix's host-key files, the caller's own or, read from each
// user's home, other users' (opened, and changed, only as the layer's checked walk allows).
#include "Caches.h"

#include "PAL/Accounts.h"
#include "PAL/HostKeyFile.h"
#include "PAL/PuttyCache.h"

#include <optional>
#include <vector>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;
constexpr std::uint32_t CurrentUserRoot = PAL::RegistryConstants::CurrentUserHandle;

Cache userCache(const PAL::Account& user) {
    auto opener = [user](bool create) {
        return [user, create](Api::Handle* key, std::string* reason) {
            return PAL::openUserHostKeyFile(user.home, user.uid, user.gid, create, key, reason);
        };
    };
    return Cache{PAL::userHostKeyFilePath(user.home),
                 &PAL::platformRegistryApi(),
                 opener(false),
                 opener(true),
                 user.uid,
                 user.name};
}

std::vector<Cache> everyUsersCache(Diagnostics& diagnostics) {
    if (!PAL::runsAsRoot()) {
        diagnostics.error("all", "only root can read every user's cache");
        return {};
    }
    std::vector<Cache> caches;
    for (const PAL::Account& account : PAL::accountsByHome()) {
        caches.push_back(userCache(account));
    }
    // Every user's cache is those that exist: an import never makes one in /bin or /dev for a
    // system account.
    return readableCaches(std::move(caches), false, diagnostics);
}

} // namespace

bool hostsEscaped() {
    return false;
}

bool namesIgnoreCase() {
    return false;
}

std::vector<Cache> selectCaches(const std::string& which, Diagnostics& diagnostics) {
    if (which == "current") {
        return {registryCache(PAL::hostKeyFilePath(), CurrentUserRoot, PAL::puttyCacheSubKey())};
    }
    if (which == "default") {
        diagnostics.error("default", "HKEY_USERS\\.DEFAULT is Windows' only: PuTTY for Unix "
                                     "keeps one file per user");
        return {};
    }
    if (which == "all") {
        return everyUsersCache(diagnostics);
    }
    const std::optional<PAL::Account> user = PAL::findAccount(which.substr(5));
    if (!user) {
        diagnostics.error(which, "no such user");
        return {};
    }
    return {userCache(*user)};
}

} // namespace hkcache
