// POSIX builds: a host-key file other than the caller's own (another user's, found by the
// application) opened as a cache key of the platform's registry backend.
#ifndef PAL_HOSTKEYFILE_H
#define PAL_HOSTKEYFILE_H

#include "PAL/RegistryApi.h"

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

// Reads the host-key file that the caller opened, and checked, as `fd` (the descriptor stays
// the caller's) into a key of platformRegistryApi(); `path` names the file. Statuses as for
// RegistryApi::openKey.
RegistryApi::Status openHostKeyFile(int fd, const std::string& path, RegistryApi::Handle* result);

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
