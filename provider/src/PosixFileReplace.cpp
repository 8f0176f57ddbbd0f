// Replacing a file safely: temporary file, owner and mode, flush, exchange, directory sync.
#include "PosixFileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace PAL {
namespace detail {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool sameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

TempFile::~TempFile() {
    fd.close();
    if (!name.empty()) {
        files.unlinkat(dirFd, name.c_str(), 0);
    }
}

bool TempFile::create(const std::string& base, const char* infix) {
    static std::atomic<unsigned> counter{0};
    // Leaves room for the suffix within NAME_MAX (255).
    std::string stem = base.substr(0, 200) + infix;
    for (int tries = 0; tries < 100; ++tries) {
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, "%ld-%u-%llx", static_cast<long>(getpid()), counter++,
                      static_cast<unsigned long long>(ticks) & 0xffffffULL);
        std::string candidate = stem + suffix;
        int created = files.openat(dirFd, candidate.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (created >= 0) {
            name = candidate;
            fd.reset(created);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

Replacement::Replacement(PosixFiles& calls, int directory, const std::string& fileName,
                         const char* tempInfix)
    : files(calls), dirFd(directory), base(fileName), infix(tempInfix), temp(calls, directory),
      pin(calls, -1) {}

bool Replacement::prepare(const struct stat& original, const std::string& bytes) {
    if (!temp.create(base, infix) || files.fstat(temp.get(), &mine) != 0) {
        return false;
    }
    // Keep the owner where we may (root rewriting a user's file); chown clears set-id bits, so
    // the mode comes after it. Creating with 0600 kept the file private until now.
    if (mine.st_uid != original.st_uid || mine.st_gid != original.st_gid) {
        (void)files.fchown(temp.get(), original.st_uid, original.st_gid);
    }
    if (files.fchmod(temp.get(), original.st_mode & 07777) != 0 ||
        !writeAll(files, temp.get(), bytes.data(), bytes.size()) || files.fsync(temp.get()) != 0 ||
        temp.close() != 0) {
        return false;
    }
    // Kept open to the end, like the original by the caller: while a file is open its inode
    // number cannot be given to another writer's new file, so comparing numbers is sound.
    pin.reset(files.openat(dirFd, temp.path(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
    return pin.get() >= 0 && files.fstat(pin.get(), &mine) == 0;
}

Replacement::Swap Replacement::swapIn(const struct stat& original) {
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
        return Swap::Failed;
    }
    if (!sameFile(original, current)) {
        return Swap::Changed;
    }
    // Exchange rather than rename: what lands under the temporary name is the file we
    // replaced, so a writer that slipped in since the look above is seen and put back.
    if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE) == 0) {
        return exchange(original);
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return Swap::Failed;
    }
    return rename(original);
}

Replacement::Swap Replacement::exchange(const struct stat& original) {
    struct stat replaced {};
    if (files.fstatat(dirFd, temp.path(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(original, replaced)) {
        exchanged = true;
        return Swap::Done;
    }
    // Put the other writer's file back, unless a third write has replaced ours already (then
    // theirs is superseded, like any PuTTY write, and ours is gone). When that cannot be told,
    // or the swap back fails, both files stay: the file under the temporary name may hold
    // another writer's keys.
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 ||
        (sameInode(current, mine) &&
         files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE) != 0)) {
        const int error = errno;
        temp.release();
        errno = error;
        return Swap::Failed;
    }
    return Swap::ChangedAfter;
}

// No exchange on this file system: look once more, then a plain rename; only the gap between
// the two is left unguarded.
Replacement::Swap Replacement::rename(const struct stat& original) {
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
        return Swap::Failed;
    }
    if (!sameFile(original, current)) {
        return Swap::Changed;
    }
    if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), 0) != 0) {
        return Swap::Failed;
    }
    temp.release();
    return Swap::Done;
}

bool Replacement::syncDirectory() {
    if (files.fsync(dirFd) == 0 || errno == EINVAL) {
        return true;
    }
    // After a plain rename the original is gone already.
    const int error = errno;
    struct stat current {};
    if (exchanged && files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameInode(current, mine)) {
        (void)files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE);
    }
    errno = error;
    return false;
}

bool Replacement::inPlace() {
    struct stat current {};
    return files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameInode(current, mine);
}

} // namespace detail
} // namespace PAL
