// POSIX: a backup beside the file it is named after, swapped in by rename.
#include "PosixBackupFile.h"

#include "PAL/HostKeyFile.h"
#include "hostkeystore/PosixFileReplace.h"
#include "hostkeystore/PosixRewrite.h"
#include "hostkeystore/PosixUserFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

namespace PAL {

using detail::Fd;
using detail::PosixFiles;

namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

struct Owner {
    uid_t uid;
    gid_t gid;
};

// A root run writing beside a cache's file, opened as `dir`: whose the new file is to be (the
// file's owner's), and whether the directory may take it. A directory of someone else's may have
// been swapped for a link to one of root's since the cache was read: it must still be that
// user's (or root's), writable by nobody else, and hold their file.
std::string ownerBeside(PosixFiles& files, int dir, const BackupBeside& cache,
                        std::optional<Owner>* owner) {
    const std::string base = detail::splitLast(cache.file).second;
    Fd file(files, files.openat(dir, base.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0));
    struct stat fileSt {};
    const bool found =
        file.get() >= 0 && files.fstat(file.get(), &fileSt) == 0 && S_ISREG(fileSt.st_mode);
    if (!cache.owner && (!found || fileSt.st_uid == 0)) {
        return {}; // root's own
    }
    const std::string moved = "refused: the directory no longer holds the cache file of its owner";
    struct stat dirSt {};
    if (!found || (cache.owner && fileSt.st_uid != *cache.owner) || files.fstat(dir, &dirSt) != 0) {
        return moved;
    }
    // Writable by its group only where that group is the owner's alone, as the walk allows.
    detail::CheckedPlace user(files);
    user.uid = fileSt.st_uid;
    user.gid = dirSt.st_gid;
    detail::askAboutGroup(user, dirSt);
    if (!detail::distrustDirectory(dirSt, user, "").empty()) {
        return moved;
    }
    *owner = Owner{fileSt.st_uid, fileSt.st_gid};
    return {};
}

// What the backup `base` in `dir` holds, read from the file that `there` described: one that
// took its place since is not read through.
std::string readOld(PosixFiles& files, int dir, const std::string& base, const struct stat& there,
                    detail::FileBuffer& old) {
    Fd file(files, files.openat(dir, base.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0));
    struct stat st {};
    if (file.get() < 0 || files.fstat(file.get(), &st) != 0) {
        return systemError("cannot read it");
    }
    if (!S_ISREG(st.st_mode) || !detail::sameInode(st, there)) {
        return "it changed while it was read (run again)";
    }
    if (!detail::readAll(files, file.get(), std::size_t(st.st_size), old)) {
        return systemError("cannot read it");
    }
    return {};
}

// Fills the new file (`old`, then `text` on a line of its own) and closes it; its removal is
// the caller's on failure.
std::string writeTemp(PosixFiles& files, detail::TempFile& file, std::string_view old,
                      std::string_view text, const std::optional<Owner>& owner) {
    if (owner && files.fchown(file.get(), owner->uid, owner->gid) != 0) {
        return systemError("cannot give the backup its cache's owner");
    }
    const bool endLine = !old.empty() && old.back() != '\n';
    if (!detail::writeAll(files, file.get(), old.data(), old.size()) ||
        !detail::writeAll(files, file.get(), "\n", endLine ? 1 : 0) ||
        !detail::writeAll(files, file.get(), text.data(), text.size())) {
        return systemError("cannot write");
    }
    if (files.fsync(file.get()) != 0) {
        return systemError("cannot flush");
    }
    if (file.close() != 0) {
        return systemError("cannot write");
    }
    return {};
}

// Runs appending to backups in one directory wait this long for each other: as long as a few
// dozen appends and the cache rewrites that share the lock take on a slow disk.
constexpr auto BackupLockLimit = std::chrono::seconds(20);

// Locks the directory `dir` (a descriptor of its own, closed by `lock`): the read, append and
// rename of one run never overlap another's, or the later rename drops the earlier section.
// Beside a cache it is the lock the cache's own rewrite takes.
std::string lockBackups(PosixFiles& files, int dir, Fd& lock) {
    lock.reset(files.openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (lock.get() < 0) {
        return systemError("cannot lock its directory");
    }
    if (!detail::lockDirectory(files, lock.get(), BackupLockLimit)) {
        return "another run holds its directory's lock (run again)";
    }
    return {};
}

// The directory of `dirPath`; beside another user's file, the one the cache's walk checked.
std::string openDirectory(PosixFiles& files, const std::string& dirPath, const BackupBeside* beside,
                          Fd& dir) {
    std::string refused;
    dir.reset(beside && beside->owner
                  ? openUserHostKeyDirectory(beside->key, &refused)
                  : files.openat(AT_FDCWD, dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dir.get() < 0) {
        return refused.empty() ? systemError(dirPath.c_str()) : refused;
    }
    return {};
}

} // namespace

struct PreviousBackup::Kept {
    explicit Kept(PosixFiles& calls) : files(calls), dir(calls, -1) {}

    PosixFiles& files;
    Fd dir;
    std::string dirPath;
    std::string base;
    std::string aside;  // empty: nothing was there
    bool moved = false; // renamed aside, not linked
    struct stat written {};

    // Keeps the file `base` under a new name beside it, a link where the file system has them.
    std::string setAside(int dirFd) {
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < 100; ++attempt) {
            aside = "." + base + ".hkcache-previous-" + std::to_string(random() % 1000000000u);
            struct stat taken {};
            if (files.linkat(dirFd, base.c_str(), dirFd, aside.c_str(), 0) == 0) {
                return {};
            }
            if (errno != EEXIST && errno != EPERM && errno != EMLINK && errno != ENOTSUP &&
                errno != ENOSYS) {
                break;
            }
            if (errno != EEXIST &&
                files.fstatat(dirFd, aside.c_str(), &taken, AT_SYMLINK_NOFOLLOW) != 0 &&
                errno == ENOENT &&
                files.renameat2(dirFd, base.c_str(), dirFd, aside.c_str(), 0) == 0) {
                moved = true;
                return {};
            }
        }
        aside.clear();
        return systemError("cannot keep the backup it replaces");
    }

    // Whether the new backup is still the file under its name.
    bool ours() const {
        struct stat current {};
        return files.fstatat(dir.get(), base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
               detail::sameInode(current, written);
    }
};

PreviousBackup::PreviousBackup() = default;

PreviousBackup::~PreviousBackup() {
    // A backup that another run wrote since is left alone, and this one's previous kept aside.
    if (!kept || !kept->ours()) {
        return;
    }
    const int dir = kept->dir.get();
    // Under the lock, or another run's append between the look and the rename is lost; a
    // backup that cannot be locked keeps the new section (a copy of keys still cached).
    Fd lock(kept->files, -1);
    if (!lockBackups(kept->files, dir, lock).empty() || !kept->ours()) {
        return;
    }
    if (kept->aside.empty()) {
        kept->files.unlinkat(dir, kept->base.c_str(), 0);
    } else {
        kept->files.renameat2(dir, kept->aside.c_str(), dir, kept->base.c_str(), 0);
    }
    kept->files.fsync(dir);
}

void PreviousBackup::drop() {
    if (kept && !kept->aside.empty()) {
        kept->files.unlinkat(kept->dir.get(), kept->aside.c_str(), 0);
    }
    kept.reset();
}

std::string PreviousBackup::keepAside() {
    const std::string path =
        kept && !kept->aside.empty() ? kept->dirPath + "/" + kept->aside : std::string();
    kept.reset();
    return path;
}

bool sameFile(const std::string& a, const std::string& b) {
    PosixFiles& files = detail::systemFiles();
    struct stat first {};
    struct stat second {};
    return files.fstatat(AT_FDCWD, a.c_str(), &first, 0) == 0 &&
           files.fstatat(AT_FDCWD, b.c_str(), &second, 0) == 0 && detail::sameInode(first, second);
}

std::string writeBackupFile(const std::string& path, std::string_view text,
                            const BackupBeside* beside, PreviousBackup* previous,
                            BackupContent content) {
    return detail::writeBackupFile(detail::systemFiles(), path, text, beside, previous, content);
}

namespace detail {

std::string writeBackupFile(PosixFiles& files, const std::string& path, std::string_view text,
                            const BackupBeside* beside, PreviousBackup* previous,
                            BackupContent content) {
    const auto [dirPath, base] = splitLast(path);
    if (base.empty() || base == "." || base == ".." || path.back() == '/') {
        return "not a file name";
    }
    Fd dir(files, -1);
    std::string reason = openDirectory(files, dirPath, beside, dir);
    std::optional<Owner> owner;
    if (reason.empty() && beside && files.geteuid() == 0) {
        reason = ownerBeside(files, dir.get(), *beside, &owner);
    }
    Fd lock(files, -1);
    if (reason.empty()) {
        reason = lockBackups(files, dir.get(), lock);
    }
    if (!reason.empty()) {
        return reason;
    }
    // A device, a directory or a link there is not the file of a last removal.
    struct stat there {};
    const bool replacing = files.fstatat(dir.get(), base.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replacing && errno != ENOENT) {
        return systemError("cannot look at it");
    }
    if (replacing && !S_ISREG(there.st_mode)) {
        return "not a regular file; --no-backup keeps none";
    }
    FileBuffer old;
    if (content == BackupContent::Append && replacing &&
        !(reason = readOld(files, dir.get(), base, there, old)).empty()) {
        return reason;
    }
    TempFile temp(files, dir.get());
    if (!temp.create("." + base, ".hkcache-")) {
        return systemError("cannot create a file beside it");
    }
    if (!(reason = writeTemp(files, temp, old.view(), text, owner)).empty()) {
        return reason;
    }
    auto kept = std::make_unique<PreviousBackup::Kept>(files);
    kept->base = base;
    kept->dirPath = dirPath;
    if (previous && replacing && !(reason = kept->setAside(dir.get())).empty()) {
        return reason;
    }
    if (files.renameat2(dir.get(), temp.path(), dir.get(), base.c_str(), 0) != 0) {
        reason = systemError("cannot rename the new file over it");
        if (kept->moved) {
            files.renameat2(dir.get(), kept->aside.c_str(), dir.get(), base.c_str(), 0);
        } else if (!kept->aside.empty()) {
            files.unlinkat(dir.get(), kept->aside.c_str(), 0);
        }
        return reason;
    }
    temp.release();
    if (previous &&
        files.fstatat(dir.get(), base.c_str(), &kept->written, AT_SYMLINK_NOFOLLOW) == 0) {
        kept->dir.reset(dir.release());
        previous->kept = std::move(kept);
        // From here a failure puts the previous file back.
    }
    const int dirFd = previous && previous->kept ? previous->kept->dir.get() : dir.get();
    // The rename is durable only once the directory is.
    if (files.fsync(dirFd) != 0 && errno != EINVAL) {
        return systemError("cannot flush its directory");
    }
    return {};
}

} // namespace detail
} // namespace PAL
