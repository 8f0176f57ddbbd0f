// Windows registry backend: the advapi32 calls, narrow-character forms. The only file that
// calls the registry's functions.
#include "PAL/RegistryApi.h"

#include "PAL/Windows.h"

namespace PAL {
namespace {

// Handles arrive sign-extended (RegistryApi::rootHandle), the form HKEY_CURRENT_USER has.
HKEY toHkey(RegistryApi::Handle handle) {
    return reinterpret_cast<HKEY>(handle);
}

RegistryApi::Handle fromHkey(HKEY key) {
    return reinterpret_cast<RegistryApi::Handle>(key);
}

RegistryApi::Status status(LONG result) {
    return static_cast<RegistryApi::Status>(result);
}

void put(std::uint32_t* out, DWORD value) {
    if (out != nullptr) {
        *out = static_cast<std::uint32_t>(value);
    }
}

class Win32RegistryApi final : public RegistryApi {
public:
    Status openKey(Handle parent, const char* subKey, Handle* result) override {
        HKEY opened = nullptr;
        const LONG rc = ::RegOpenKeyA(toHkey(parent), subKey, &opened);
        *result = fromHkey(opened);
        return status(rc);
    }

    Status createKey(Handle parent, const char* subKey, Handle* result) override {
        HKEY opened = nullptr;
        const LONG rc =
            ::RegCreateKeyExA(toHkey(parent), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE, nullptr, &opened, nullptr);
        *result = fromHkey(opened);
        return status(rc);
    }

    Status queryInfoKey(Handle key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLength,
                        std::uint32_t* maxClassLength, std::uint32_t* valueCount,
                        std::uint32_t* maxValueNameLength, std::uint32_t* maxValueDataLength,
                        std::uint64_t* lastWriteTime) override {
        DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
        FILETIME written{};
        const LONG rc =
            ::RegQueryInfoKeyA(toHkey(key), nullptr, nullptr, nullptr, &subKeys, &maxSubKey,
                               &maxClass, &values, &maxName, &maxData, nullptr, &written);
        if (rc == ERROR_SUCCESS) {
            if (lastWriteTime != nullptr) {
                *lastWriteTime = (std::uint64_t{written.dwHighDateTime} << 32) |
                                 std::uint64_t{written.dwLowDateTime};
            }
            put(subKeyCount, subKeys);
            put(maxSubKeyLength, maxSubKey);
            put(maxClassLength, maxClass);
            put(valueCount, values);
            put(maxValueNameLength, maxName);
            put(maxValueDataLength, maxData);
        }
        return status(rc);
    }

    Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) override {
        // DWORD is unsigned long here, not std::uint32_t: go through locals.
        DWORD length = *nameLength;
        DWORD valueType = type ? *type : 0;
        DWORD size = dataSize ? *dataSize : 0;
        const LONG rc =
            ::RegEnumValueA(toHkey(key), index, name, &length, nullptr, type ? &valueType : nullptr,
                            data, dataSize ? &size : nullptr);
        *nameLength = static_cast<std::uint32_t>(length);
        put(type, valueType);
        put(dataSize, size);
        return status(rc);
    }

    Status enumKey(Handle key, std::uint32_t index, char* name,
                   std::uint32_t* nameLength) override {
        DWORD length = *nameLength;
        const LONG rc =
            ::RegEnumKeyExA(toHkey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) {
            *nameLength = static_cast<std::uint32_t>(length);
        }
        return status(rc);
    }

    Status deleteValue(Handle key, const char* name) override {
        return status(::RegDeleteValueA(toHkey(key), name));
    }

    Status setValue(Handle key, const char* name, std::uint32_t type, const unsigned char* data,
                    std::uint32_t size) override {
        return status(::RegSetValueExA(toHkey(key), name, 0, type, data, size));
    }

    Status closeKey(Handle key) override {
        // The predefined keys are not ours to close.
        if (isPredefinedKey(key)) {
            return Success;
        }
        return status(::RegCloseKey(toHkey(key)));
    }
};

} // namespace

RegistryApi& platformRegistryApi() {
    static Win32RegistryApi api;
    return api;
}

} // namespace PAL
