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

} // namespace hkcache
