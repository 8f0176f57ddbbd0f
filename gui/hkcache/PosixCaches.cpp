// POSIX: the caches are PuTTY for Unix's host-key files, the caller's own or, read from each
// user's home, other users' (opened, and changed, only as the layer's checked walk allows).
#include "Caches.h"

#include "PAL/HostKeyFile.h"
#include "PAL/PuttyCache.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;
constexpr std::uint32_t CurrentUserRoot = PAL::RegistryConstants::CurrentUserHandle;

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::optional<std::string>(resolved.get()) : std::nullopt;
}

Cache userCache(const std::string& home, uid_t uid, gid_t gid) {
    auto opener = [home, uid, gid](bool create) {
        return [home, uid, gid, create](Api::Handle* key, std::string* reason) {
            return PAL::openUserHostKeyFile(home, uid, gid, create, key, reason);
        };
    };
    return Cache{PAL::userHostKeyFilePath(home), &PAL::platformRegistryApi(), opener(false),
                 opener(true), std::uint32_t(uid)};
}

std::optional<struct passwd> findUser(const std::string& name, std::vector<char>& buffer) {
    buffer.resize(16384);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return found ? std::optional<struct passwd>(entry) : std::nullopt;
    }
}

std::vector<Cache> everyUsersCache(Diagnostics& diagnostics) {
    if (geteuid() != 0) {
        diagnostics.error("all", "only root can read every user's cache");
        return {};
    }
    std::vector<Cache> caches;
    std::set<std::string> homes;
    setpwent();
    while (struct passwd* entry = getpwent()) {
        if (!entry->pw_dir || !*entry->pw_dir) {
            continue;
        }
        // Accounts that share a home (often /) share its file: it is listed once.
        const std::optional<std::string> real = realPath(entry->pw_dir);
        if (!real || !homes.insert(*real).second) {
            continue;
        }
        caches.push_back(userCache(entry->pw_dir, entry->pw_uid, entry->pw_gid));
    }
    endpwent();
    return caches;
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
    const std::string name = which.substr(5);
    std::vector<char> buffer;
    const std::optional<struct passwd> user = findUser(name, buffer);
    if (!user || !user->pw_dir) {
        diagnostics.error(which, "no such user");
        return {};
    }
    return {userCache(user->pw_dir, user->pw_uid, user->pw_gid)};
}

} // namespace hkcache
