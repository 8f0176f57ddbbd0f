// POSIX: accounts from the password database.
#include "PAL/Accounts.h"
#include "hostkeystore/PosixFiles.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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

} // namespace PAL
