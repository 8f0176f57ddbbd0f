// POSIX builds: a host-key file other than the caller's own (another user's, found by the
// application) opened as a cache key of the platform's registry backend.
#ifndef PAL_HOSTKEYFILE_H
#define PAL_HOSTKEYFILE_H

#include "PAL/RegistryApi.h"

#include <cstdint>
#include <string>

namespace PAL {

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

} // namespace PAL

#endif // PAL_HOSTKEYFILE_H
