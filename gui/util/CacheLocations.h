// The two places PuTTY keeps its host-key cache: the default user profile's and the current
// user's.
#ifndef HKPRUNE_CACHELOCATIONS_H
#define HKPRUNE_CACHELOCATIONS_H

#include "PAL/RegistryKeyDescriptor.h"

// HKEY_USERS\.DEFAULT\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
const PAL::RegistryKeyDescriptor& defaultUserCache();
// HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys; the same object on every call.
// The first call makes the path known to the registry backend (PAL::setHostKeyCachePath).
const PAL::RegistryKeyDescriptor& currentUserCache();

#endif // HKPRUNE_CACHELOCATIONS_H
