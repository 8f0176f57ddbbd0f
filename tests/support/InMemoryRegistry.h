// An in-memory registry behind the RegistryApi seam, for tests: keys with ordered values,
// case-insensitive names as in the real registry, failure injection on any call, call counts.
#ifndef HK_TESTS_INMEMORYREGISTRY_H
#define HK_TESTS_INMEMORYREGISTRY_H

#include "PAL/RegistryApi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hktest {

class InMemoryRegistry : public PAL::RegistryApi {
public:
    // ApplyChanges counts a batch as a whole; its changes are then DeleteValue and SetValue calls.
    enum class Op {
        Open,
        QueryInfo,
        EnumValue,
        DeleteValue,
        Close,
        EnumKey,
        SetValue,
        Create,
        ApplyChanges
    };

    // The three roots exist (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER), and
    // HKEY_USERS\.DEFAULT as in a fresh Windows profile.
    InMemoryRegistry();
    ~InMemoryRegistry() override;

    // Creates the key (and every key on the way) below the 32-bit root handle value.
    void addKey(std::uint32_t root, const std::string& path);
    // Creates the key when needed and adds or replaces a value (a name equal but for case
    // keeps the first spelling, as the registry does). New names go last in enumeration order.
    void setValue(std::uint32_t root, const std::string& path, const std::string& name,
                  const std::string& data = "");
    bool hasKey(std::uint32_t root, const std::string& path) const;
    // Value names in enumeration order; empty when the key does not exist.
    std::vector<std::string> valueNames(std::uint32_t root, const std::string& path) const;

    // The `nth` call (1-based, counted from now) of `op` and the `count - 1` after it return
    // `status` without doing anything else.
    void failOn(Op op, Status status, unsigned nth = 1, unsigned count = 1);
    // Runs `action` when the `nth` call (1-based, counted from now) of `op` is made, before it
    // does anything: the action may change the registry under the caller, or throw.
    void beforeCall(Op op, std::function<void()> action, unsigned nth = 1);
    // Renames a value where it stands in enumeration order, data kept.
    void renameValue(std::uint32_t root, const std::string& path, const std::string& from,
                     const std::string& to);
    // Last-write times stay where they are, as under a clock too coarse to see two changes.
    void stopClock();
    // Calls of `op` so far (failed ones included).
    unsigned calls(Op op) const;
    // Handles opened and not yet closed.
    unsigned openHandles() const;

    Status openKey(Handle parent, const char* subKey, Handle* result) override;
    Status createKey(Handle parent, const char* subKey, Handle* result) override;
    Status queryInfoKey(Handle key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLength,
                        std::uint32_t* maxClassLength, std::uint32_t* valueCount,
                        std::uint32_t* maxValueNameLength, std::uint32_t* maxValueDataLength,
                        std::uint64_t* lastWriteTime) override;
    Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) override;
    // Sub-keys enumerate sorted case-insensitively, as Wine keeps them.
    Status enumKey(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength) override;
    Status deleteValue(Handle key, const char* name) override;
    // Any type and bytes, as the registry takes them; an empty name is the key's default value.
    Status setValue(Handle key, const char* name, std::uint32_t type, const unsigned char* data,
                    std::uint32_t size) override;
    // The base class's change by change, counted (and failed, when injected) as one call.
    Status applyChanges(Handle key, const std::vector<std::string>& removals,
                        const ValueSource& sets, std::size_t* applied) override;
    using RegistryApi::applyChanges;
    Status closeKey(Handle key) override;

private:
    Status open(Handle parent, const char* subKey, bool create, Handle* result);

    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Puts an API in force for the life of the object and restores the previous one.
class ScopedRegistryApi {
public:
    explicit ScopedRegistryApi(PAL::RegistryApi& api);
    ~ScopedRegistryApi();
    ScopedRegistryApi(const ScopedRegistryApi&) = delete;
    ScopedRegistryApi& operator=(const ScopedRegistryApi&) = delete;

private:
    PAL::RegistryApi* previous;
};

} // namespace hktest

#endif // HK_TESTS_INMEMORYREGISTRY_H
