// POSIX: a removal's backup beside the host-key file, swapped in by rename.
#include "Backup.h"
#include "Descriptor.h"

#include "PAL/HostKeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

namespace hkcache {
namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(std::size_t(written));
    }
    return true;
}

struct Owner {
    uid_t uid;
    gid_t gid;
};

// A root run writing beside a cache's file, opened as `dir`: whose the new file is to be (the
// file's owner's), and whether the directory may take it. A directory of someone else's may have
// been swapped for a link to one of root's since the cache was read: it must still be that
// user's (or root's), writable by nobody else, and hold their file.
std::string ownerBeside(int dir, const Cache& cache, std::optional<Owner>* owner) {
    const std::size_t slash = cache.name.rfind('/');
    const std::string base = slash == std::string::npos ? cache.name : cache.name.substr(slash + 1);
    Descriptor file(
        ::openat(dir, base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat fileSt {};
    const bool found =
        file.get() >= 0 && ::fstat(file.get(), &fileSt) == 0 && S_ISREG(fileSt.st_mode);
    if (!cache.owner && (!found || fileSt.st_uid == 0)) {
        return {}; // root's own
    }
    struct stat dirSt {};
    if (!found || (cache.owner && fileSt.st_uid != *cache.owner) || ::fstat(dir, &dirSt) != 0 ||
        (dirSt.st_uid != fileSt.st_uid && dirSt.st_uid != 0) ||
        (dirSt.st_mode & (S_IWGRP | S_IWOTH))) {
        return "refused: the directory no longer holds the cache file of its owner";
    }
    *owner = Owner{fileSt.st_uid, fileSt.st_gid};
    return {};
}

// Fills the new file and closes it; its removal is the caller's on failure.
std::string writeTemp(PAL::NewFileBeside& file, std::string_view text,
                      const std::optional<Owner>& owner) {
    if (owner && ::fchown(file.fd(), owner->uid, owner->gid) != 0) {
        return systemError("cannot give the backup its cache's owner");
    }
    if (!writeAll(file.fd(), text)) {
        return systemError("cannot write");
    }
    if (::fsync(file.fd()) != 0) {
        return systemError("cannot flush");
    }
    if (file.close() != 0) {
        return systemError("cannot write");
    }
    return {};
}

bool sameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

struct PreviousBackup::Kept {
    Descriptor dir;
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
            if (::linkat(dirFd, base.c_str(), dirFd, aside.c_str(), 0) == 0) {
                return {};
            }
            if (errno != EEXIST && errno != EPERM && errno != EMLINK && errno != ENOTSUP &&
                errno != ENOSYS) {
                break;
            }
            if (errno != EEXIST &&
                ::fstatat(dirFd, aside.c_str(), &taken, AT_SYMLINK_NOFOLLOW) != 0 &&
                errno == ENOENT && ::renameat(dirFd, base.c_str(), dirFd, aside.c_str()) == 0) {
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
        return ::fstatat(dir.get(), base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
               sameInode(current, written);
    }
};

PreviousBackup::PreviousBackup() = default;

PreviousBackup::~PreviousBackup() {
    // A backup that another run wrote since is left alone, and this one's previous kept aside.
    if (!kept || !kept->ours()) {
        return;
    }
    const int dir = kept->dir.get();
    if (kept->aside.empty()) {
        ::unlinkat(dir, kept->base.c_str(), 0);
    } else {
        ::renameat(dir, kept->aside.c_str(), dir, kept->base.c_str());
    }
    ::fsync(dir);
}

void PreviousBackup::drop() {
    if (kept && !kept->aside.empty()) {
        ::unlinkat(kept->dir.get(), kept->aside.c_str(), 0);
    }
    kept.reset();
}

std::string PreviousBackup::keepAside() {
    const std::string path =
        kept && !kept->aside.empty() ? kept->dirPath + "/" + kept->aside : std::string();
    kept.reset();
    return path;
}

std::optional<std::string> defaultBackupPath(const Cache& cache, std::string*) {
    return cache.name + ".old";
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           sameInode(first, second);
}

std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey, PreviousBackup* previous) {
    const std::size_t slash = path.rfind('/');
    const std::string dirPath = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        return "not a file name";
    }
    // Another user's directory is the one the cache's walk checked, not what the path names now.
    std::string refused;
    Descriptor dir(beside && beside->owner
                       ? PAL::openUserHostKeyDirectory(besideKey, &refused)
                       : ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        return refused.empty() ? systemError(dirPath.c_str()) : refused;
    }
    std::optional<Owner> owner;
    if (beside && ::geteuid() == 0) {
        refused = ownerBeside(dir.get(), *beside, &owner);
        if (!refused.empty()) {
            return refused;
        }
    }
    // A device, a directory or a link there is not the file of a last removal.
    struct stat there {};
    const bool replacing = ::fstatat(dir.get(), base.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replacing && errno != ENOENT) {
        return systemError("cannot look at it");
    }
    if (replacing && !S_ISREG(there.st_mode)) {
        return "not a regular file; --no-backup keeps none";
    }
    PAL::NewFileBeside temp(dir.get());
    if (!temp.create("." + base, ".hkcache-")) {
        return systemError("cannot create a file beside it");
    }
    std::string reason = writeTemp(temp, text, owner);
    if (!reason.empty()) {
        return reason;
    }
    auto kept = std::make_unique<PreviousBackup::Kept>();
    kept->base = base;
    kept->dirPath = dirPath;
    if (previous && replacing && !(reason = kept->setAside(dir.get())).empty()) {
        return reason;
    }
    if (::renameat(dir.get(), temp.name(), dir.get(), base.c_str()) != 0) {
        reason = systemError("cannot rename the new file over it");
        if (kept->moved) {
            ::renameat(dir.get(), kept->aside.c_str(), dir.get(), base.c_str());
        } else if (!kept->aside.empty()) {
            ::unlinkat(dir.get(), kept->aside.c_str(), 0);
        }
        return reason;
    }
    temp.release();
    if (previous && ::fstatat(dir.get(), base.c_str(), &kept->written, AT_SYMLINK_NOFOLLOW) == 0) {
        kept->dir.reset(dir.release());
        previous->kept = std::move(kept);
        // From here a failure puts the previous file back.
    }
    const int dirFd = previous && previous->kept ? previous->kept->dir.get() : dir.get();
    // The rename is durable only once the directory is.
    if (::fsync(dirFd) != 0 && errno != EINVAL) {
        return systemError("cannot flush its directory");
    }
    return {};
}

} // namespace hkcache
