#include "PAL/RegistryApi.h"

namespace PAL {
namespace {
RegistryApi* replacement = nullptr;
} // namespace

RegistryApi& registryApi() {
    return replacement ? *replacement : platformRegistryApi();
}

RegistryApi* setRegistryApi(RegistryApi* api) {
    RegistryApi* previous = replacement;
    replacement = api;
    return previous;
}

} // namespace PAL
