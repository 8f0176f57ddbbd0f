// POSIX builds: a host-key file other than the caller's own (another user's, found by the
// application) opened as a cache key of the platform's registry backend.
#ifndef PAL_HOSTKEYFILE_H
#define PAL_HOSTKEYFILE_H

#include "PAL/RegistryApi.h"

#include <cstdint>
#include <memory>
#include <string>

namespace PAL {
namespace detail {
class TempFile;
}

// The caller's own host-key file, where PuTTY for Unix looks for it (the current user's cache).
std::string hostKeyFilePath();
// The host-key file of a user whose home is `home`, where PuTTY for Unix would look without
// that user's environment: <home>/.config/putty/sshhostkeys when that directory exists, else
// <home>/.putty/sshhostkeys.
std::string userHostKeyFilePath(const std::string& home);

// Opens the host-key file of the user `uid` whose home is `home` (at userHostKeyFilePath) as a
// key of platformRegistryApi(), only when nothing on the way could have been planted by someone
// else (OpenSSH's StrictModes rule: directories the user's or root's, writable by nobody else;
// the file a regular file of the user's with one link). The key's changes work only relative
// to the directory that walk opened, and check the file again. `create`: a missing file is made
// by the key's first change, theirs (group `gid`) with mode 0644, and so is a missing
// directory (0700) in the home. Statuses as for RegistryApi::openKey; a refusal says why in
// `reason`.
RegistryApi::Status openUserHostKeyFile(const std::string& home, std::uint32_t uid,
                                        std::uint32_t gid, bool create, RegistryApi::Handle* result,
                                        std::string* reason);

// A new descriptor (the caller's to close) of the directory that holds the file of `key`, a key
// of openUserHostKeyFile, opened from the walk's own descriptor and checked again; -1 with
// errno, and `reason` for one no longer to be trusted.
int openUserHostKeyDirectory(RegistryApi::Handle key, std::string* reason);

// A new file of the caller's beside another, in the directory `dirFd` (kept open by the
// caller), as the store makes its own: removed when destroyed unless released, and when a
// signal whose default action ends the process ends it first.
class NewFileBeside {
public:
    explicit NewFileBeside(int dirFd);
    ~NewFileBeside();
    NewFileBeside(const NewFileBeside&) = delete;
    NewFileBeside& operator=(const NewFileBeside&) = delete;

    // Created exclusively as <base><infix><unique suffix>, mode 0600; false with errno.
    bool create(const std::string& base, const char* infix);
    int fd() const;
    const char* name() const;
    // close(2)'s result.
    int close();
    // Renamed away: nothing is left to remove.
    void release();

private:
    std::unique_ptr<detail::TempFile> temp;
};

} // namespace PAL

#endif // PAL_HOSTKEYFILE_H
