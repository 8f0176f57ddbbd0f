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

RegistryApi::Status RegistryApi::applyChanges(Handle key, const std::vector<std::string>& removals,
                                              const std::vector<ValueText>& sets,
                                              std::size_t* applied) {
    std::size_t done = 0;
    Status status = Success;
    for (const std::string& name : removals) {
        status = deleteValue(key, name.c_str());
        if (status != Success && status != NotFound) {
            break;
        }
        status = Success;
        ++done;
    }
    for (auto set = sets.begin(); status == Success && set != sets.end(); ++set) {
        if (set->data.size() >= UINT32_MAX) {
            status = InvalidParameter;
            break;
        }
        // REG_SZ: the data with its NUL.
        status = setValue(key, set->name.c_str(), RegSz,
                          reinterpret_cast<const unsigned char*>(set->data.c_str()),
                          static_cast<std::uint32_t>(set->data.size() + 1));
        done += status == Success ? 1 : 0;
    }
    if (applied != nullptr) {
        *applied = done;
    }
    return status;
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
