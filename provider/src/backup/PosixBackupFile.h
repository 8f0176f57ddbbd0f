// POSIX: the backup file written through the system-call seam, so that a test can fail any of
// its calls.
#ifndef HK_PROVIDER_SRC_POSIXBACKUPFILE_H
#define HK_PROVIDER_SRC_POSIXBACKUPFILE_H

#include "../hostkeystore/PosixFiles.h"
#include "PAL/BackupFile.h"

namespace PAL {
namespace detail {

// PAL::writeBackupFile through `files`.
std::string writeBackupFile(PosixFiles& files, const std::string& path, std::string_view text,
                            const BackupBeside* beside, PreviousBackup* previous,
                            BackupContent content = BackupContent::Replace);

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXBACKUPFILE_H
