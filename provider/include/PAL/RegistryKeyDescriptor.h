// Naming a registry key: the root keys with their handle values and names, and a descriptor
// (root + sub-key path) that never touches the registry.
#ifndef PAL_REGISTRYKEYDESCRIPTOR_H
#define PAL_REGISTRYKEYDESCRIPTOR_H

#include <cstdint>
#include <string>

namespace PAL {

class RegistryConstants {
public:
    // Not in the order of the Windows handle values.
    enum RootKey : std::int32_t { LocalMachine = 0, Users = 1, CurrentUser = 2 };
    // Their 32-bit Windows handle values (HKEY_LOCAL_MACHINE ...), and the range of the
    // predefined keys, HKEY_CLASSES_ROOT to HKEY_CURRENT_USER_LOCAL_SETTINGS.
    static constexpr std::uint32_t LocalMachineHandle = 0x80000002u;
    static constexpr std::uint32_t UsersHandle = 0x80000003u;
    static constexpr std::uint32_t CurrentUserHandle = 0x80000001u;
    static constexpr std::uint32_t FirstPredefinedHandle = 0x80000000u;
    static constexpr std::uint32_t LastPredefinedHandle = 0x80000007u;

    // "Local Machine", "Users", "Current User"; "Invalid Root Key" for any other value.
    static const char* getRootKeyName(std::int32_t root);
    // The 32-bit Windows root handle value (0x80000002, 0x80000003, 0x80000001), else 0xFFFFFFFF.
    static std::uint32_t getRootKeyHandle(std::int32_t root);
};

class RegistryKeyDescriptor : public RegistryConstants {
public:
    // Any root value is stored unchanged; the path uses backslashes and may be empty.
    RegistryKeyDescriptor(std::int32_t root, const std::string& subKey);

    std::int32_t getRoot() const { return root; }
    std::string getSubKey() const { return subKey; }
    // "<0x80000001 (Current User) : Software\...\SshHostKeys> " (ends in one blank).
    std::string toString() const;

private:
    std::int32_t root;
    std::string subKey;
};

} // namespace PAL

#endif // PAL_REGISTRYKEYDESCRIPTOR_H
