// POSIX: a removal's backup beside the host-key file, swapped in by rename.
#include "Backup.h"
#include "Descriptor.h"

#include "PAL/HostKeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Fills the new file `fd` and closes it; its removal is the caller's on failure.
std::string writeTemp(int fd, std::string_view text, const std::optional<Owner>& owner) {
    Descriptor file(fd);
    if (owner && ::fchown(file.get(), owner->uid, owner->gid) != 0) {
        return systemError("cannot give the backup its cache's owner");
    }
    if (!writeAll(file.get(), text)) {
        return systemError("cannot write");
    }
    if (::fsync(file.get()) != 0) {
        return systemError("cannot flush");
    }
    if (file.close() != 0) {
        return systemError("cannot write");
    }
    return {};
}

} // namespace

std::optional<std::string> defaultBackupPath(const Cache& cache, std::string*) {
    return cache.name + ".old";
}

std::string writeBackupFile(const std::string& path, std::string_view text, const Cache* beside,
                            PAL::RegistryApi::Handle besideKey) {
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
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::string temp;
    int fd = -1;
    // O_EXCL and O_NOFOLLOW: a name someone planted is never written through.
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = "." + base + ".hkcache-" + std::to_string(random() % 1000000000u);
        fd = ::openat(dir.get(), temp.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0 && errno != EEXIST) {
            return systemError("cannot create a file beside it");
        }
    }
    if (fd < 0) {
        return "cannot create a file beside it: every name tried was taken";
    }
    std::string reason = writeTemp(fd, text, owner);
    if (reason.empty() && ::renameat(dir.get(), temp.c_str(), dir.get(), base.c_str()) != 0) {
        reason = systemError("cannot rename the new file over it");
    }
    if (!reason.empty()) {
        ::unlinkat(dir.get(), temp.c_str(), 0);
        return reason;
    }
    // The rename is durable only once the directory is.
    if (::fsync(dir.get()) != 0 && errno != EINVAL) {
        return systemError("cannot flush its directory");
    }
    return {};
}

} // namespace hkcache
