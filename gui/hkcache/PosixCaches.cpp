// POSIX: the caches are PuTTY for Unix's host-key files, the caller's own or, read from each
// user's home, other users'. Another user's file is opened only when nothing on the way from
// their home to it could have been planted by someone else (OpenSSH's StrictModes rule).
#include "CacheLocations.h"
#include "Caches.h"
#include "Descriptor.h"

#include "PAL/HostKeyFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace hkcache {
namespace {

using Api = PAL::RegistryApi;
constexpr std::uint32_t CurrentUserRoot = 0x80000001u;
constexpr Api::Status NotEnoughMemory = 8; // ERROR_NOT_ENOUGH_MEMORY

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::optional<std::string>(resolved.get()) : std::nullopt;
}

Api::Status fromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return Api::NotFound;
    case EACCES:
    case EPERM:
        return Api::AccessDenied;
    case ENOMEM:
        return NotEnoughMemory;
    default:
        return Api::InvalidParameter;
    }
}

// Why `st` (what `what` names) may not be trusted for the user `uid`; empty when it may.
std::string distrust(const struct stat& st, uid_t uid, const std::string& what) {
    if (st.st_uid != uid && st.st_uid != 0) {
        return "refused: " + what + " is owned by uid " + std::to_string(st.st_uid);
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        return "refused: " + what + " is writable by others";
    }
    return {};
}

// Opens the file at `path` below `home` for the user `uid`, checking each directory on the
// way on the descriptor that was opened; -1 with a status and a reason when it cannot or may
// not be read.
int openUserFile(const std::string& home, const std::string& path, uid_t uid, Api::Status* status,
                 std::string* reason) {
    const std::optional<std::string> realHome = realPath(home);
    const std::optional<std::string> realFile = realPath(path);
    if (!realHome || !realFile) {
        *status = fromErrno(errno);
        return -1;
    }
    const std::string inside = *realHome == "/" ? "/" : *realHome + "/";
    if (realFile->compare(0, inside.size(), inside) != 0) {
        *status = Api::AccessDenied;
        *reason = "refused: a symbolic link leads out of " + home + " to " + *realFile;
        return -1;
    }
    Descriptor dir(::open(realHome->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked = *realHome;
    std::size_t from = inside.size();
    for (;;) {
        struct stat st {};
        if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) {
            *status = fromErrno(errno);
            return -1;
        }
        if (!(*reason = distrust(st, uid, walked)).empty()) {
            *status = Api::AccessDenied;
            return -1;
        }
        const std::size_t slash = realFile->find('/', from);
        const std::string part = realFile->substr(from, slash - from);
        walked += "/" + part;
        // No link is followed from here: one that appeared since the path was resolved is
        // refused (ELOOP) rather than trusted.
        const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
        const int next = ::openat(dir.get(), part.c_str(),
                                  slash == std::string::npos ? flags : flags | O_DIRECTORY);
        if (next < 0) {
            *status = fromErrno(errno);
            if (errno == ELOOP) {
                *reason = "refused: " + walked + " changed into a symbolic link";
            }
            return -1;
        }
        if (slash == std::string::npos) {
            Descriptor file(next);
            if (::fstat(file.get(), &st) != 0) {
                *status = fromErrno(errno);
                return -1;
            }
            if (!S_ISREG(st.st_mode)) {
                *status = Api::AccessDenied;
                *reason = "refused: not a regular file";
                return -1;
            }
            if (!(*reason = distrust(st, uid, "the file")).empty()) {
                *status = Api::AccessDenied;
                return -1;
            }
            return file.release();
        }
        dir.reset(next);
        from = slash + 1;
    }
}

Cache userCache(const std::string& home, uid_t uid) {
    const std::string path = PAL::userHostKeyFilePath(home);
    auto open = [home, path, uid](Api::Handle* key, std::string* reason) {
        Api::Status status = Api::Success;
        Descriptor fd(openUserFile(home, path, uid, &status, reason));
        if (fd.get() < 0) {
            return status;
        }
        return PAL::openHostKeyFile(fd.get(), path, key);
    };
    // Another user's file is not made: its owner, mode and directory are theirs to choose.
    return Cache{path, &PAL::platformRegistryApi(), open, open, std::uint32_t(uid)};
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
        caches.push_back(userCache(entry->pw_dir, entry->pw_uid));
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
        return {registryCache(PAL::hostKeyFilePath(), CurrentUserRoot, puttyCacheSubKey())};
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
    return {userCache(user->pw_dir, user->pw_uid)};
}

} // namespace hkcache
