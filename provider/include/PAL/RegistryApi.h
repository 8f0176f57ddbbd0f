// The seam between the registry logic and a registry: the operations it uses, in the
// layer's own types, with Windows status codes. Backends: Win32 (advapi32), the PuTTY for Unix
// host-key file, and an in-memory registry in the tests.
#ifndef PAL_REGISTRYAPI_H
#define PAL_REGISTRYAPI_H

#include "PAL/Status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PAL {

class RegistryApi : public StatusCodes {
public:
    // Pointer-sized, like HKEY.
    using Handle = std::uintptr_t;
    using Status = PAL::Status;

    // Value type of text data (REG_SZ).
    static constexpr std::uint32_t RegSz = 1;

    // "Not open": all bits set in the handle's own width.
    static constexpr Handle NotOpen = ~Handle(0);

    // A 32-bit root handle value (0x80000001 ...) as a Handle, sign-extended the way the
    // Windows headers define HKEY_CURRENT_USER on 64-bit; 0xFFFFFFFF becomes NotOpen.
    static Handle rootHandle(std::uint32_t value) {
        return static_cast<Handle>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
    }
    // True for a predefined key, HKEY_CLASSES_ROOT (0x80000000) to
    // HKEY_CURRENT_USER_LOCAL_SETTINGS (0x80000007): the registry's own handles, never closed.
    static bool isPredefinedKey(Handle handle);

    virtual ~RegistryApi() = default;

    // RegOpenKeyA: opens `subKey` below `parent`; on success stores the key's handle in *result.
    virtual Status openKey(Handle parent, const char* subKey, Handle* result) = 0;
    // RegCreateKeyExA, for reading and writing: opens `subKey` below `parent`, making it (and
    // every key on the way) when it does not exist yet.
    virtual Status createKey(Handle parent, const char* subKey, Handle* result) = 0;
    // RegQueryInfoKeyA with class, reserved and security size absent. Lengths are in characters
    // without the terminating NUL. `lastWriteTime` is the key's last-write time as a FILETIME
    // (100 ns units): it moves with every value stored or deleted, so comparing it tells a
    // caller whether the key changed between two calls. Null outputs are not written.
    virtual Status queryInfoKey(Handle key, std::uint32_t* subKeyCount,
                                std::uint32_t* maxSubKeyLength, std::uint32_t* maxClassLength,
                                std::uint32_t* valueCount, std::uint32_t* maxValueNameLength,
                                std::uint32_t* maxValueDataLength,
                                std::uint64_t* lastWriteTime) = 0;
    // RegEnumValueA: `*nameLength` is the buffer size in bytes on entry and, on success, the
    // characters stored without the NUL. 234 when the buffer is too small, 259 past the last
    // value. `type`, `data` and `dataSize` may be null; `data` needs `dataSize`.
    virtual Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                             std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) = 0;
    // RegEnumKeyExA with class and time absent: the name of the sub-key at `index`.
    // `*nameLength` is the buffer size in bytes on entry and, on success, the characters stored
    // without the NUL. 234 when the buffer is too small, 259 past the last sub-key.
    virtual Status enumKey(Handle key, std::uint32_t index, char* name,
                           std::uint32_t* nameLength) = 0;
    // RegDeleteValueA.
    virtual Status deleteValue(Handle key, const char* name) = 0;
    // RegSetValueExA: stores `size` bytes of `data` as the value `name` of type `type`, adding
    // it or replacing the data of the one there. REG_SZ data normally ends in its NUL, which
    // `size` counts.
    virtual Status setValue(Handle key, const char* name, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size) = 0;

    // Text (REG_SZ) to store under a name.
    struct ValueText {
        std::string name;
        std::string data; // without the terminating NUL
    };
    // Values to store, each made when a backend comes to it, as often as it comes back (a
    // rewrite that starts over walks them again): a large batch is never held whole.
    class ValueSource {
    public:
        virtual ~ValueSource() = default;
        virtual std::size_t size() const = 0;
        // The name, and the data (without its NUL), of value `index` < size(), into `out`.
        virtual void name(std::size_t index, std::string& out) const = 0;
        virtual void data(std::size_t index, std::string& out) const = 0;
    };
    // The values of a list as a source.
    class ValueList : public ValueSource {
    public:
        explicit ValueList(const std::vector<ValueText>& list) : values(list) {}
        std::size_t size() const override { return values.size(); }
        void name(std::size_t index, std::string& out) const override { out = values[index].name; }
        void data(std::size_t index, std::string& out) const override { out = values[index].data; }

    private:
        const std::vector<ValueText>& values;
    };
    // Applies `removals` (names that need not exist) and then `sets` to the key. This default
    // makes one deleteValue or setValue per change, in that order, and stops at the first
    // failure: a failure part way leaves the earlier changes made, and *applied (when given)
    // says how many there were. A backend that can make the batch all at once, or not at all,
    // overrides it.
    virtual Status applyChanges(Handle key, const std::vector<std::string>& removals,
                                const ValueSource& sets, std::size_t* applied);
    Status applyChanges(Handle key, const std::vector<std::string>& removals,
                        const std::vector<ValueText>& sets, std::size_t* applied) {
        return applyChanges(key, removals, ValueList(sets), applied);
    }
    // RegCloseKey. Root handles are never really closed.
    virtual Status closeKey(Handle key) = 0;
    // Whether an open key shows the key as it was when it was opened, so that nothing another
    // program does can change what one pass over its values sees.
    virtual bool keysAreSnapshots() const { return false; }
};

// The backend in force: the platform's own unless a test replaced it.
RegistryApi& registryApi();
// Puts `api` in force (null restores the platform's own) and returns the one it replaces
// (null when that was the platform's own). The caller keeps ownership.
RegistryApi* setRegistryApi(RegistryApi* api);

// The platform's own backend (Win32 on Windows, the host-key file elsewhere).
RegistryApi& platformRegistryApi();

} // namespace PAL

#endif // PAL_REGISTRYAPI_H
