// The rewrite protocol of the host-key file: read again if it changed, write the rest to a new
// file, swap that in, and start again when another writer (PuTTY, another run) got between.
#ifndef HK_PROVIDER_SRC_POSIXREWRITE_H
#define HK_PROVIDER_SRC_POSIXREWRITE_H

#include "PosixFiles.h"
#include "PosixHostKeyFormat.h"
#include "PosixUserFile.h"

#include "PAL/Status.h"

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace PAL {
namespace detail {

// A rewrite that keeps finding the file changed by another writer gives up after this many
// attempts with SharingViolation.
constexpr int MaxRewriteAttempts = 16;
// Temporary files are named <file name><RewriteTempInfix><random>.
constexpr const char* RewriteTempInfix = ".hkprune-";

// What an open key shows: the file as it was read, less the lines this store has deleted
// since (a delete that finds the file unchanged writes from the same bytes).
struct Snapshot {
    std::string path; // the location the key was opened at, symbolic links unresolved
    std::shared_ptr<const FileBuffer> bytes; // null until `unread` is read
    // The file as this store just wrote it, read only when the key is listed: a large import
    // need not hold what it wrote.
    std::shared_ptr<Fd> unread;
    std::vector<std::string> removed;
    struct stat file {}; // the file that holds bytes less removed
    std::size_t nulFreeUntil = 0;
    bool creatable = false; // no file was there for createKey: the first change makes it
    // Another user's file: found by a checked walk, changed only relative to its directory.
    std::shared_ptr<const CheckedPlace> place;

    HostKeyText text() const { return {bytes->view(), removed, nulFreeUntil}; }
    // Counted when first asked for: the key a rewrite leaves is often closed unlisted.
    const ValueSummary& summary() const {
        std::call_once(summarized, [this] { counted = summarize(text()); });
        return counted;
    }

private:
    mutable std::once_flag summarized;
    mutable ValueSummary counted;
};

// What one rewrite is asked to do.
struct Change {
    const ValueBatch& batch;
    // A delete's name, which must be there (NotFound otherwise); none for a batch.
    const char* required;
};

// An exclusive flock on the directory `dirFd` (its open file description's, so one of its own
// for each holder), waited for `limit` at most: false then. True, unlocked, where the file
// system has no such lock.
bool lockDirectory(PosixFiles& files, int dirFd,
                   std::chrono::milliseconds limit = std::chrono::seconds(2));

// The key's view of a file it wrote: `view`, read from `unread`; false with errno.
bool readWritten(PosixFiles& files, const Snapshot& view, std::shared_ptr<Snapshot>& read);

// Reads an open host-key file whole; `st` is its status before the read. Refused when it is
// nothing PuTTY could have written, or too large for the registry's 32-bit lengths.
Status readHostKeyFile(PosixFiles& files, int fd, struct stat& st, FileBuffer& bytes);

// Makes `change` to the file that `view` shows, attempt after attempt against other writers;
// *written is then the key's new view (set once the swap is visible, whatever the status).
Status rewriteFile(PosixFiles& files, const Snapshot& view, const Change& change,
                   std::shared_ptr<const Snapshot>* written);

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXREWRITE_H
