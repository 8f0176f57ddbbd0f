#include "PAL/RegistryApi.h"
#include "PAL/RegistryKeyDescriptor.h"

namespace PAL {
namespace {
RegistryApi* replacement = nullptr;
} // namespace

bool RegistryApi::isPredefinedKey(Handle handle) {
    for (std::uint32_t value = RegistryConstants::FirstPredefinedHandle;
         value <= RegistryConstants::LastPredefinedHandle; ++value) {
        if (handle == rootHandle(value)) {
            return true;
        }
    }
    return false;
}

RegistryApi::Status RegistryApi::applyChanges(Handle key, const std::vector<std::string>& removals,
                                              const ValueSource& sets, std::size_t* applied) {
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
    ValueText set;
    for (std::size_t i = 0; status == Success && i < sets.size(); ++i) {
        sets.name(i, set.name);
        sets.data(i, set.data);
        if (set.data.size() >= UINT32_MAX) {
            status = InvalidParameter;
            break;
        }
        // REG_SZ: the data with its NUL.
        status = setValue(key, set.name.c_str(), RegSz,
                          reinterpret_cast<const unsigned char*>(set.data.c_str()),
                          static_cast<std::uint32_t>(set.data.size() + 1));
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

RegistryApi* setRegistryApi(RegistryApi* api) {
    RegistryApi* previous = replacement;
    replacement = api;
    return previous;
}

} // namespace PAL
