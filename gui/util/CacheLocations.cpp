#include "CacheLocations.h"

const PAL::RegistryKeyDescriptor& defaultUserCache() {
    static const PAL::RegistryKeyDescriptor cache(
        PAL::RegistryConstants::Users, ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys");
    return cache;
}

const PAL::RegistryKeyDescriptor& currentUserCache() {
    static const PAL::RegistryKeyDescriptor cache(PAL::RegistryConstants::CurrentUser,
                                                  "Software\\SimonTatham\\PuTTY\\SshHostKeys");
    return cache;
}
