// Where a removal keeps what it removed, and writing that file so that it is whole or absent.
#ifndef HK_GUI_HKCACHE_BACKUP_H
#define HK_GUI_HKCACHE_BACKUP_H

#include "Caches.h"

#include <optional>
#include <string>
#include <string_view>

namespace hkcache {

// Per platform: the backup of a removal from `cache` when none is named. POSIX: the cache
// file's path plus ".old" (as ssh-keygen -R keeps known_hosts.old). Windows: SshHostKeys.old in
// the caller's profile directory, one file for every cache. nullopt, with the reason, when
// there is none.
std::optional<std::string> defaultBackupPath(const Cache& cache, std::string* reason);

// Per platform: makes `path` hold exactly `text`. A new file is written beside it, flushed to
// the disk and renamed over `path`, so that whatever was there (a link too) is replaced, never
// written through, and a crash leaves the old file or the new one. `beside` (may be null): the
// cache whose file `path` is beside (the default place); a POSIX root run gives the new file
// that file's owner, and writes beside another user's file only in a directory that is still
// theirs and holds their file: the one its walk checked, reached through `besideKey` (that
// cache's open key), never by its path again. Empty on success, else the reason.
std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_BACKUP_H
