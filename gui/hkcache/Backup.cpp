// A removal's backup, written by the layer.
#include "Backup.h"

namespace hkcache {

std::string distrust(const std::optional<PAL::FileOwner>& owner, const Cache& cache) {
    if (!owner) {
        return {};
    }
    if (owner->othersMayWrite) {
        return "others than its owner " + owner->name + " may write the file";
    }
    if (owner->privileged || owner->id == ownerIdOf(cache)) {
        return {};
    }
    return "the file is " + owner->name + "'s, not the cache owner's";
}

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
