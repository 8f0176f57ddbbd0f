#include "CacheLocations.h"

#include "PAL/RegistryApi.h"

#include <string>

namespace {

// Where PuTTY keeps its host keys below a user's root; written here only.
const char* const PuttyCachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";

// Made known to the registry backend the first time the current user's cache is named, so a
// backend that holds the cache elsewhere (PuTTY for Unix's file) serves it under this path.
PAL::RegistryKeyDescriptor announced(const PAL::RegistryKeyDescriptor& cache) {
    PAL::setHostKeyCachePath(cache.getSubKey());
    return cache;
}

} // namespace

const PAL::RegistryKeyDescriptor& defaultUserCache() {
    static const PAL::RegistryKeyDescriptor cache(PAL::RegistryConstants::Users,
                                                  std::string(".DEFAULT\\") + PuttyCachePath);
    return cache;
}

const PAL::RegistryKeyDescriptor& currentUserCache() {
    static const PAL::RegistryKeyDescriptor cache =
        announced(PAL::RegistryKeyDescriptor(PAL::RegistryConstants::CurrentUser, PuttyCachePath));
    return cache;
}

const std::string& puttyCacheSubKey() {
    static const std::string subKey = currentUserCache().getSubKey();
    return subKey;
}
