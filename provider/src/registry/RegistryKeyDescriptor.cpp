#include "PAL/RegistryKeyDescriptor.h"

#include <cstdio>

namespace PAL {
namespace {

struct RootEntry {
    std::int32_t root;
    std::uint32_t handle;
    const char* name;
};

const RootEntry Roots[] = {
    {RegistryConstants::LocalMachine, RegistryConstants::LocalMachineHandle, "Local Machine"},
    {RegistryConstants::Users, RegistryConstants::UsersHandle, "Users"},
    {RegistryConstants::CurrentUser, RegistryConstants::CurrentUserHandle, "Current User"},
};
const RootEntry InvalidRoot = {-1, 0xFFFFFFFFu, "Invalid Root Key"};

const RootEntry& lookup(std::int32_t root) {
    for (const RootEntry& entry : Roots) {
        if (entry.root == root) {
            return entry;
        }
    }
    return InvalidRoot;
}

} // namespace

const char* RegistryConstants::getRootKeyName(std::int32_t root) {
    return lookup(root).name;
}

std::uint32_t RegistryConstants::getRootKeyHandle(std::int32_t root) {
    return lookup(root).handle;
}

RegistryKeyDescriptor::RegistryKeyDescriptor(std::int32_t rootKey, const std::string& path)
    : root(rootKey), subKey(path) {}

std::string RegistryKeyDescriptor::toString() const {
    char handle[16];
    std::snprintf(handle, sizeof handle, "%08X", static_cast<unsigned>(getRootKeyHandle(root)));
    return std::string("<0x") + handle + " (" + getRootKeyName(root) + ") : " + subKey + "> ";
}

} // namespace PAL
