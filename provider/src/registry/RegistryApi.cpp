#include "PAL/RegistryApi.h"

namespace PAL {
namespace {
RegistryApi* replacement = nullptr;

std::string& hostKeyCachePath() {
    static std::string path;
    return path;
}

// The one table of predefined keys, for every backend.
constexpr std::uint32_t PredefinedKeys[] = {
    0x80000000u, // HKEY_CLASSES_ROOT
    0x80000001u, // HKEY_CURRENT_USER
    0x80000002u, // HKEY_LOCAL_MACHINE
    0x80000003u, // HKEY_USERS
    0x80000004u, // HKEY_PERFORMANCE_DATA
    0x80000005u, // HKEY_CURRENT_CONFIG
    0x80000006u, // HKEY_DYN_DATA
    0x80000007u, // HKEY_CURRENT_USER_LOCAL_SETTINGS
};
} // namespace

bool RegistryApi::isPredefinedKey(Handle handle) {
    for (std::uint32_t value : PredefinedKeys) {
        if (handle == rootHandle(value)) {
            return true;
        }
    }
    return false;
}

RegistryApi& registryApi() {
    return replacement ? *replacement : platformRegistryApi();
}

void setHostKeyCachePath(const std::string& subKey) {
    hostKeyCachePath() = subKey;
}

std::string getHostKeyCachePath() {
    return hostKeyCachePath();
}

RegistryApi* setRegistryApi(RegistryApi* api) {
    RegistryApi* previous = replacement;
    replacement = api;
    return previous;
}

} // namespace PAL
