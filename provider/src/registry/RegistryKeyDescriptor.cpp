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
    {RegistryConstants::LocalMachine, 0x80000002u, "Local Machine"}, // HKEY_LOCAL_MACHINE
    {RegistryConstants::Users, 0x80000003u, "Users"},                // HKEY_USERS
    {RegistryConstants::CurrentUser, 0x80000001u, "Current User"},   // HKEY_CURRENT_USER
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
