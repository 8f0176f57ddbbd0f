// The two places PuTTY keeps its host-key cache: the default user profile's and the current
// user's.
#ifndef HKPRUNE_CACHELOCATIONS_H
#define HKPRUNE_CACHELOCATIONS_H

#include "PAL/RegistryKeyDescriptor.h"

#include <string>

// HKEY_USERS\.DEFAULT\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
const PAL::RegistryKeyDescriptor& defaultUserCache();
// HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
// The first call makes the path known to the registry backend (PAL::setHostKeyCachePath).
const PAL::RegistryKeyDescriptor& currentUserCache();

// Software\SimonTatham\PuTTY\SshHostKeys: the cache below any user's root (a profile under
// HKEY_USERS). Names it for the registry backend as currentUserCache does.
const std::string& puttyCacheSubKey();

#endif // HKPRUNE_CACHELOCATIONS_H
