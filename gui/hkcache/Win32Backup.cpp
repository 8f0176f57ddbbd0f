// Windows: a removal's backup lies in the caller's profile directory.
#include "Backup.h"

#include "PAL/Accounts.h"

namespace hkcache {

std::optional<std::string> defaultBackupPath(const Cache&, std::string* reason) {
    const std::optional<std::string> profile = PAL::profileDirectory();
    if (!profile) {
        *reason = "USERPROFILE is not set: no place for the backup (give --backup FILE or "
                  "--no-backup)";
        return std::nullopt;
    }
    std::string path = *profile;
    if (path.back() != '\\' && path.back() != '/') {
        path += '\\';
    }
    return path + "SshHostKeys.old";
}

std::string ownerIdOf(const Cache& cache) {
    // HKEY_USERS\<SID>\...: that account's. The caller's own (HKEY_CURRENT_USER) and SYSTEM's
    // (.DEFAULT) take the files that count as root's: the caller's, Administrators', SYSTEM's.
    const std::string users = "HKEY_USERS\\S-";
    if (cache.name.compare(0, users.size(), users) != 0) {
        return {};
    }
    return cache.name.substr(11, cache.name.find('\\', 11) - 11);
}

} // namespace hkcache
