// POSIX builds: a host-key file other than the caller's own (another user's, found by the
// application) opened as a cache key of the platform's registry backend.
#ifndef PAL_HOSTKEYFILE_H
#define PAL_HOSTKEYFILE_H

#include "PAL/RegistryApi.h"

#include <string>

namespace PAL {

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

} // namespace PAL

#endif // PAL_HOSTKEYFILE_H
