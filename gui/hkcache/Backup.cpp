// A removal's backup, written by the layer.
#include "Backup.h"

namespace hkcache {

std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey, PreviousBackup* previous,
                            PAL::BackupContent content) {
    if (!beside) {
        return PAL::writeBackupFile(path, text, nullptr, previous, content);
    }
    const PAL::BackupBeside place{beside->name, beside->owner, besideKey};
    return PAL::writeBackupFile(path, text, &place, previous, content);
}

} // namespace hkcache
