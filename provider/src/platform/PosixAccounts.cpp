// POSIX: accounts from the password database.
#include "PAL/Accounts.h"
#include "hostkeystore/PosixFiles.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace PAL {
namespace {

// One entry by a *_r lookup (getpwnam_r, getgrgid_r...), its buffer grown while too small;
// null when there is none, or it cannot be read.
template <typename Entry, typename Lookup>
const Entry* lookUp(Entry& entry, std::vector<char>& buffer, const Lookup& lookup) {
    buffer.resize(16384);
    for (;;) {
        Entry* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 ? found : nullptr;
    }
}

} // namespace

std::optional<Account> findAccount(const std::string& name) {
    std::vector<char> buffer;
    struct passwd entry {};
    const struct passwd* found =
        lookUp(entry, buffer, [&](auto... args) { return getpwnam_r(name.c_str(), args...); });
    if (!found || !found->pw_dir) {
        return std::nullopt;
    }
    return Account{found->pw_name, found->pw_dir, found->pw_uid, found->pw_gid};
}

bool isPrivateGroup(std::uint32_t gid, std::uint32_t uid) {
    std::vector<char> userBuffer;
    std::vector<char> groupBuffer;
    struct passwd userEntry {};
    struct group groupEntry {};
    const struct passwd* user =
        lookUp(userEntry, userBuffer, [&](auto... args) { return getpwuid_r(uid, args...); });
    const struct group* group =
        lookUp(groupEntry, groupBuffer, [&](auto... args) { return getgrgid_r(gid, args...); });
    if (!user || user->pw_gid != gid || !group) {
        return false;
    }
    for (char* const* member = group->gr_mem; member && *member; ++member) {
        if (std::strcmp(*member, user->pw_name) != 0) {
            return false;
        }
    }
    // A database that fails part way has not said the group is theirs alone.
    bool alone = true;
    setpwent();
    errno = 0;
    while (struct passwd* entry = getpwent()) {
        if (entry->pw_gid == gid && entry->pw_uid != uid) {
            alone = false;
            break;
        }
    }
    alone = alone && (errno == 0 || errno == ENOENT);
    endpwent();
    return alone;
}

std::vector<Account> accountsByHome() {
    std::vector<Account> accounts;
    std::set<std::string> homes;
    setpwent();
    while (struct passwd* entry = getpwent()) {
        if (!entry->pw_dir || !*entry->pw_dir) {
            continue;
        }
        const std::optional<std::string> real = detail::systemFiles().realpath(entry->pw_dir);
        if (!real || !homes.insert(*real).second) {
            continue;
        }
        accounts.push_back(Account{entry->pw_name, entry->pw_dir, entry->pw_uid, entry->pw_gid});
    }
    endpwent();
    return accounts;
}

bool runsAsRoot() {
    return detail::systemFiles().geteuid() == 0;
}

bool runsPrivileged() {
    return runsAsRoot();
}

std::optional<FileOwner> fileOwner(std::FILE* file, std::string* reason) {
    struct stat st {};
    if (detail::systemFiles().fstat(::fileno(file), &st) != 0) {
        *reason = std::strerror(errno);
        return std::nullopt;
    }
    FileOwner owner{std::to_string(st.st_uid), std::to_string(st.st_uid), st.st_uid == 0,
                    (st.st_mode & (S_IWGRP | S_IWOTH)) != 0};
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name) {
        owner.name = found->pw_name;
    }
    return owner;
}

} // namespace PAL
