// Another user's host-key file, reached from their home by a walk that follows nothing they
// could have planted there (OpenSSH's StrictModes rule), and the checks a rewrite repeats on
// what it opens.
#ifndef HK_PROVIDER_SRC_POSIXUSERFILE_H
#define HK_PROVIDER_SRC_POSIXUSERFILE_H

#include "PosixFiles.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>

namespace PAL {
namespace detail {

// Where a walk ended, held open: the directory that holds the user's file or, when `makeDir`
// is set, the home in which that directory is still to be made. Every later change of the
// file works relative to `dir`, never by a path.
struct CheckedPlace {
    explicit CheckedPlace(PosixFiles& files) : dir(files, -1) {}
    Fd dir;
    std::string home;    // to walk again from, for a key opened anew
    std::string makeDir; // a name in `dir`, or empty
    std::string base;    // the file's name in its directory
    uid_t uid = 0;
    gid_t gid = 0;
    // `gid` is the user's private group: what is theirs and writable by it is theirs alone.
    // Asked once, when the walk first meets something of theirs that their group may write.
    bool privateGroup = false;
    bool groupAsked = false;
};

// Settles `user.privateGroup` when `st` is the first thing of the user's found writable by
// their group.
void askAboutGroup(CheckedPlace& user, const struct stat& st);
// Why a directory on the way (`what`) may not be trusted for `user`: anything but theirs or
// root's, writable by nobody else; empty when it may.
std::string distrustDirectory(const struct stat& st, const CheckedPlace& user,
                              const std::string& what);
// Why the user's file may not be trusted: anything but a regular file with one link, owned by
// that user and writable by nobody else; empty when it may.
std::string distrustFile(const struct stat& st, const CheckedPlace& user, const std::string& what);

struct Walk {
    RegistryApi::Status status = RegistryApi::Success;
    std::string reason; // a refusal's
    // With Success, and with NotFound when only the file, or it and its directory, are missing.
    std::shared_ptr<CheckedPlace> place;
};

// Walks from `home` to `path` (below it) for the user `uid` and group `gid`, checking each
// directory on the descriptor that was opened; the file, checked too, is left open in `file`.
Walk walkToUserFile(PosixFiles& files, const std::string& home, const std::string& path, uid_t uid,
                    gid_t gid, Fd& file);

// A new descriptor of `dir` (a lock on it is its own) checked again as the walk checked it;
// -1 with errno, or with EACCES and the reason.
int reopenChecked(PosixFiles& files, const CheckedPlace& place, int dir, std::string* reason);

// `path` without its last component ("." or "/" where that is all there is), and that
// component.
std::pair<std::string, std::string> splitLast(std::string path);

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXUSERFILE_H
