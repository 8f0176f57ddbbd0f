// A backup file: written whole beside the one it replaces and swapped in, the previous one
// kept aside until the change it served is settled.
#ifndef PAL_BACKUPFILE_H
#define PAL_BACKUPFILE_H

#include "PAL/RegistryApi.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace PAL {

// The cache whose file a backup is written beside (the default place).
struct BackupBeside {
    std::string file; // the cache file's path
    // POSIX: the user whose file another user's cache is (what root writes beside it is theirs).
    std::optional<std::uint32_t> owner;
    // That cache's open key: another user's directory is the one its checked walk opened.
    RegistryApi::Handle key = RegistryApi::NotOpen;
};

// The backup that a new one replaced, kept aside until the change it served is done. Unless
// settled, its destruction puts it back (or, where there was none, removes the new one): a
// change that fails costs no earlier backup.
class PreviousBackup {
public:
    PreviousBackup();
    ~PreviousBackup();
    PreviousBackup(const PreviousBackup&) = delete;
    PreviousBackup& operator=(const PreviousBackup&) = delete;

    // The change is done: the previous backup goes.
    void drop();
    // The new backup stays, and the previous one too: the path it is kept under (empty where
    // there was none).
    std::string keepAside();

    struct Kept; // per platform
    std::unique_ptr<Kept> kept;
};

// What the new file holds: exactly the text given, or what the file it replaces held (read
// through the one handle that was checked to be that regular file), then the text on a line of
// its own.
enum class BackupContent { Replace, Append };

// Makes `path` hold exactly `text` (or, with Append, its old content and then `text`). A new file
// is written beside it, flushed to the disk and renamed over `path`, so that the file that was
// there is replaced, never written through, and a crash leaves the old file or the new one.
// `beside` (may be null): the cache whose file `path` is beside; a POSIX root run gives the new
// file that file's owner, and writes beside another user's file only in a directory that is still
// theirs and holds their file: the one its walk checked, reached through its key, never by its path
// again. Only a regular file is replaced. With `previous`, the file replaced is kept there. Empty
// on success, else the reason.
std::string writeBackupFile(const std::string& path, std::string_view text,
                            const BackupBeside* beside, PreviousBackup* previous = nullptr,
                            BackupContent content = BackupContent::Replace);

// Whether the two paths name one file, however named (device and inode; volume serial and file
// index). False when either is not there.
bool sameFile(const std::string& a, const std::string& b);

} // namespace PAL

#endif // PAL_BACKUPFILE_H
