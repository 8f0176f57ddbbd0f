// The walk to another user's host-key file, and the checks on what it finds.
#include "PosixUserFile.h"

#include "PAL/Accounts.h"

#include <fcntl.h>

#include <cerrno>

namespace PAL {
namespace detail {
namespace {

std::string kindOf(mode_t mode) {
    return S_ISFIFO(mode)   ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISDIR(mode)  ? "a directory"
           : S_ISLNK(mode)  ? "a symbolic link"
                            : "something";
}

// Who but the user and root may write it: others, or a group that is not the user's alone;
// empty for nobody.
std::string writersBesides(const struct stat& st, const CheckedPlace& user) {
    const bool theirGroup = user.privateGroup && st.st_uid == user.uid && st.st_gid == user.gid;
    if (st.st_mode & S_IWOTH) {
        return " is writable by others";
    }
    if ((st.st_mode & S_IWGRP) && !theirGroup) {
        return " is writable by group " + std::to_string(st.st_gid) + ", not the user's alone";
    }
    return {};
}

Walk refused(RegistryApi::Status status, std::string reason = {}) {
    Walk walk;
    walk.status = status;
    walk.reason = std::move(reason);
    return walk;
}

} // namespace

std::pair<std::string, std::string> splitLast(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

void askAboutGroup(CheckedPlace& user, const struct stat& st) {
    if (!user.groupAsked && (st.st_mode & S_IWGRP) && st.st_uid == user.uid &&
        st.st_gid == user.gid) {
        user.groupAsked = true;
        user.privateGroup = isPrivateGroup(user.gid, user.uid);
    }
}

std::string distrustDirectory(const struct stat& st, const CheckedPlace& user,
                              const std::string& what) {
    if (st.st_uid != user.uid && st.st_uid != 0) {
        return "refused: " + what + " is owned by uid " + std::to_string(st.st_uid);
    }
    if (const std::string writers = writersBesides(st, user); !writers.empty()) {
        return "refused: " + what + writers;
    }
    return {};
}

std::string distrustFile(const struct stat& st, const CheckedPlace& user, const std::string& what) {
    if (!S_ISREG(st.st_mode)) {
        return "refused: " + what + " is " + kindOf(st.st_mode) + ", not a regular file";
    }
    // Root's own file, hard-linked into a home, is not the user's to have written.
    if (st.st_uid != user.uid) {
        return "refused: " + what + " is owned by uid " + std::to_string(st.st_uid);
    }
    if (st.st_nlink != 1) {
        return "refused: " + what + " has " + std::to_string(st.st_nlink) + " hard links";
    }
    if (const std::string writers = writersBesides(st, user); !writers.empty()) {
        return "refused: " + what + writers;
    }
    return {};
}

int reopenChecked(PosixFiles& files, const CheckedPlace& place, int dir, std::string* reason) {
    Fd fd(files, files.openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW, 0));
    struct stat st {};
    if (fd.get() < 0 || files.fstat(fd.get(), &st) != 0) {
        return -1;
    }
    const std::string why = distrustDirectory(st, place, "its directory");
    if (!why.empty()) {
        if (reason) {
            *reason = why;
        }
        errno = EACCES;
        return -1;
    }
    return fd.release();
}

Walk walkToUserFile(PosixFiles& files, const std::string& home, const std::string& path, uid_t uid,
                    gid_t gid, Fd& file) {
    const std::optional<std::string> realHome = files.realpath(home);
    if (!realHome) {
        return refused(statusFromErrno(errno));
    }
    // The file as links inside the home lead to it, or where it would be: in its directory,
    // or in that directory still to be made.
    const auto [dirPath, base] = splitLast(path);
    std::optional<std::string> target = files.realpath(path);
    if (!target && errno == ENOENT) {
        if (const std::optional<std::string> dir = files.realpath(dirPath)) {
            target = *dir + "/" + base;
        } else if (errno == ENOENT) {
            const auto [parentPath, dirName] = splitLast(dirPath);
            if (const std::optional<std::string> parent = files.realpath(parentPath)) {
                target = *parent + "/" + dirName + "/" + base;
            }
        }
    }
    if (!target) {
        return refused(statusFromErrno(errno));
    }
    const std::string inside = *realHome == "/" ? "/" : *realHome + "/";
    if (target->compare(0, inside.size(), inside) != 0) {
        return refused(RegistryApi::AccessDenied,
                       "refused: a symbolic link leads out of " + home + " to " + *target);
    }
    auto place = std::make_shared<CheckedPlace>(files);
    place->home = home;
    place->uid = uid;
    place->gid = gid;
    place->dir.reset(
        files.openat(AT_FDCWD, realHome->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    std::string walked = *realHome;
    for (std::size_t from = inside.size();;) {
        struct stat st {};
        if (place->dir.get() < 0 || files.fstat(place->dir.get(), &st) != 0) {
            return refused(statusFromErrno(errno));
        }
        askAboutGroup(*place, st);
        std::string why = distrustDirectory(st, *place, walked);
        const std::size_t slash = target->find('/', from);
        const std::string part = target->substr(from, slash - from);
        walked += "/" + part;
        // No link is followed from here: one that appeared since the path was resolved is
        // refused (ELOOP) rather than trusted. O_NONBLOCK: a FIFO is not waited on.
        const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
        const bool last = slash == std::string::npos;
        const int next =
            files.openat(place->dir.get(), part.c_str(), last ? flags : flags | O_DIRECTORY, 0);
        if (!why.empty()) {
            Fd unread(files, next);
            // Nothing cached in a home that may not be trusted is only nothing cached (a
            // system account's shared directory); nothing may be made there.
            const bool missing = next < 0 && (errno == ENOENT || errno == ENOTDIR);
            return refused(missing ? RegistryApi::NotFound : RegistryApi::AccessDenied, why);
        }
        if (next < 0 && errno == ENOENT &&
            (last || target->find('/', slash + 1) == std::string::npos)) {
            Walk missing = refused(RegistryApi::NotFound);
            if (!last) {
                place->makeDir = part;
            }
            place->base = base;
            missing.place = std::move(place);
            return missing;
        }
        if (next < 0) {
            return errno == ELOOP || errno == ENOTDIR
                       ? refused(
                             RegistryApi::AccessDenied,
                             "refused: " + walked +
                                 (errno == ELOOP ? " is a symbolic link" : " is not a directory"))
                       : refused(statusFromErrno(errno));
        }
        if (last) {
            file.reset(next);
            if (files.fstat(file.get(), &st) != 0) {
                return refused(statusFromErrno(errno));
            }
            askAboutGroup(*place, st);
            why = distrustFile(st, *place, "the file");
            if (!why.empty()) {
                file.reset(-1);
                return refused(RegistryApi::AccessDenied, why);
            }
            place->base = part;
            Walk found;
            found.place = std::move(place);
            return found;
        }
        place->dir.reset(next);
        from = slash + 1;
    }
}

} // namespace detail
} // namespace PAL
