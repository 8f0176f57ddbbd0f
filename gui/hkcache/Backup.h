// Where a removal keeps what it removed, and writing that file so that it is whole or absent.
#ifndef HK_GUI_HKCACHE_BACKUP_H
#define HK_GUI_HKCACHE_BACKUP_H

#include "Caches.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace hkcache {

// Per platform: the backup of a removal from `cache` when none is named. POSIX: the cache
// file's path plus ".old" (as ssh-keygen -R keeps known_hosts.old). Windows: SshHostKeys.old in
// the caller's profile directory, one file for every cache. nullopt, with the reason, when
// there is none.
std::optional<std::string> defaultBackupPath(const Cache& cache, std::string* reason);

// Per platform: whether the two paths name one file, however named (device and inode; volume
// serial and file index). False when either is not there.
bool sameFile(const std::string& a, const std::string& b);

// The backup that a new one replaced, kept aside until the removal it served is done. Unless
// settled, its destruction puts it back (or, where there was none, removes the new one): a
// removal that fails costs no earlier backup.
class PreviousBackup {
public:
    PreviousBackup();
    ~PreviousBackup();
    PreviousBackup(const PreviousBackup&) = delete;
    PreviousBackup& operator=(const PreviousBackup&) = delete;

    // The removal is done: the previous backup goes.
    void drop();
    // The new backup stays, and the previous one too: the path it is kept under (empty where
    // there was none).
    std::string keepAside();

    struct Kept; // per platform
    std::unique_ptr<Kept> kept;
};

// Per platform: makes `path` hold exactly `text`. A new file is written beside it, flushed to
// the disk and renamed over `path`, so that the file that was there is replaced, never
// written through, and a crash leaves the old file or the new one. `beside` (may be null): the
// cache whose file `path` is beside (the default place); a POSIX root run gives the new file
// that file's owner, and writes beside another user's file only in a directory that is still
// theirs and holds their file: the one its walk checked, reached through `besideKey` (that
// cache's open key), never by its path again. Only a regular file is replaced. With
// `previous`, the file replaced is kept there. Empty on success, else the reason.
std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey, PreviousBackup* previous = nullptr);

} // namespace hkcache

#endif // HK_GUI_HKCACHE_BACKUP_H
