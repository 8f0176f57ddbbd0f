// Where PuTTY keeps its cache of host keys, and the one start-up call that tells the registry
// backend which key that is.
#ifndef PAL_PUTTYCACHE_H
#define PAL_PUTTYCACHE_H

#include "PAL/RegistryKeyDescriptor.h"

#include <string>

namespace PAL {

// Software\SimonTatham\PuTTY\SshHostKeys: the cache below any user's root (HKEY_CURRENT_USER,
// or a profile under HKEY_USERS).
const std::string& puttyCacheSubKey();
// HKEY_USERS\.DEFAULT\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
const RegistryKeyDescriptor& defaultUserCache();
// HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
const RegistryKeyDescriptor& currentUserCache();

// Each program's main names the sub-key of HKEY_CURRENT_USER that holds the cache (normally
// puttyCacheSubKey()), once, before any key is opened. A backend that holds the cache
// elsewhere (the POSIX store: PuTTY for Unix's file) serves it under that path and no other,
// and answers NotReady to every root's key until it is named; the Win32 registry has the key
// itself.
void setHostKeyCachePath(const std::string& subKey);
// Empty until it is set.
std::string getHostKeyCachePath();

} // namespace PAL

#endif // PAL_PUTTYCACHE_H
