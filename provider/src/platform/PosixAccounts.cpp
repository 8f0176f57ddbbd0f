// POSIX: accounts from the password database.
#include "PAL/Accounts.h"
#include "hostkeystore/PosixFiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace PAL {

std::optional<Account> findAccount(const std::string& name) {
    std::vector<char> buffer(16384);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (!found || !found->pw_dir) {
            return std::nullopt;
        }
        return Account{found->pw_dir, found->pw_uid, found->pw_gid};
    }
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
        accounts.push_back(Account{entry->pw_dir, entry->pw_uid, entry->pw_gid});
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
