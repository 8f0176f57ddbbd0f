// Where a removal keeps what it removed, and writing that file so that it is whole or absent.
#ifndef HK_GUI_HKCACHE_BACKUP_H
#define HK_GUI_HKCACHE_BACKUP_H

#include "Caches.h"

#include "PAL/BackupFile.h"

#include <optional>
#include <string>
#include <string_view>

namespace hkcache {

using PAL::PreviousBackup;
using PAL::sameFile;

// Per platform: the backup of a removal from `cache` when none is named. POSIX: the cache
// file's path plus ".old" (as ssh-keygen -R keeps known_hosts.old). Windows: SshHostKeys.old in
// the caller's profile directory, one file for every cache. nullopt, with the reason, when
// there is none.
std::optional<std::string> defaultBackupPath(const Cache& cache, std::string* reason);

// PAL::writeBackupFile beside `beside` (may be null), whose open key is `besideKey`.
std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey, PreviousBackup* previous = nullptr,
                            PAL::BackupContent content = PAL::BackupContent::Replace);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_BACKUP_H
