#include "PAL/OpenKey.h"

namespace PAL {

RegistryApi::Status OpenKey::open(RegistryApi::Handle parent, const std::string& subKey) {
    close();
    RegistryApi::Handle opened = RegistryApi::NotOpen;
    const RegistryApi::Status status = backend->openKey(parent, subKey.c_str(), &opened);
    handle = status == RegistryApi::Success ? opened : RegistryApi::NotOpen;
    return status;
}

void OpenKey::close() {
    if (handle == RegistryApi::NotOpen) {
        return;
    }
    backend->closeKey(handle);
    handle = RegistryApi::NotOpen;
}

} // namespace PAL
