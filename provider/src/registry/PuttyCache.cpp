#include "PAL/PuttyCache.h"

namespace PAL {
namespace {

std::string& servedPath() {
    static std::string path;
    return path;
}

} // namespace

const std::string& puttyCacheSubKey() {
    static const std::string subKey = "Software\\SimonTatham\\PuTTY\\SshHostKeys";
    return subKey;
}

const RegistryKeyDescriptor& defaultUserCache() {
    static const RegistryKeyDescriptor cache(RegistryConstants::Users,
                                             ".DEFAULT\\" + puttyCacheSubKey());
    return cache;
}

const RegistryKeyDescriptor& currentUserCache() {
    static const RegistryKeyDescriptor cache(RegistryConstants::CurrentUser, puttyCacheSubKey());
    return cache;
}

void setHostKeyCachePath(const std::string& subKey) {
    servedPath() = subKey;
}

std::string getHostKeyCachePath() {
    return servedPath();
}

} // namespace PAL
