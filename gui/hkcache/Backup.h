// Where a removal keeps what it removed, and writing that file so that it is whole or absent.
#ifndef HK_GUI_HKCACHE_BACKUP_H
#define HK_GUI_HKCACHE_BACKUP_H

#include "Caches.h"

#include "PAL/Accounts.h"
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

// Per platform: the id (PAL::FileOwner's) of the user whose cache `cache` is; empty where
// none is known. A privileged run takes a backup's keys for it only from their file, or root's.
std::string ownerIdOf(const Cache& cache);

// Why a privileged run leaves out the keys that a file of `owner` (none: not weighed) has for
// `cache`: others may write it, or it is neither root's nor the cache owner's; empty when it
// takes them.
std::string distrust(const std::optional<PAL::FileOwner>& owner, const Cache& cache);

// PAL::writeBackupFile beside `beside` (may be null), whose open key is `besideKey`.
std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey, PreviousBackup* previous = nullptr,
                            PAL::BackupContent content = PAL::BackupContent::Replace);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_BACKUP_H
