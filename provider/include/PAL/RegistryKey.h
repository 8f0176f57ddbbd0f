// An open registry key: a descriptor plus the handle the registry returned, reached only
// through the RegistryApi seam. Opens on construction, closes exactly once.
#ifndef PAL_REGISTRYKEY_H
#define PAL_REGISTRYKEY_H

#include "PAL/ByteBuffer.h"
#include "PAL/RegistryApi.h"
#include "PAL/RegistryKeyDescriptor.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace PAL {

struct RegistryKeyInfo {
    std::uint32_t subKeyCount = 0;
    std::uint32_t maxSubKeyLength = 0;
    std::uint32_t maxClassLength = 0;
    std::uint32_t valueCount = 0;
    std::uint32_t maxValueNameLength = 0; // characters, without the terminating NUL
    std::uint32_t maxValueDataLength = 0;
    bool valid = false;
};

struct RegistryValue {
    std::string name;
    std::uint32_t type = 0;
    std::uint32_t dataSize = 0;
    bool found = false;
};

class RegistryKey : public RegistryKeyDescriptor {
public:
    // Opens the key; throws RegistryKeyError (after one log record) when it cannot.
    explicit RegistryKey(const RegistryKeyDescriptor& descriptor);
    virtual ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens through openKey; logs and throws RegistryKeyError on failure.
    void getKey();
    // The open call's status; the handle is the marker again after a failure.
    RegistryApi::Status openKey();

    RegistryKeyDescriptor getDescriptor() const;
    std::string toString() const;
    RegistryApi::Handle getHandle() const { return handle; }

    RegistryKeyInfo getKeyInfo() const;
    std::uint32_t getValueCount() const;
    // The entry at `index`; with `data`, its bytes are read into it as well.
    RegistryValue getValue(std::uint32_t index, ByteBuffer* data = nullptr) const;
    // Calls `visit` with the name of each value in enumeration order, one at a time; the key's
    // information is queried once, and again only for a name that outgrew the buffer.
    // Unreadable indices are skipped silently.
    void forEachValueName(const std::function<void(const std::string&)>& visit) const;
    // Names of all values in enumeration order, as forEachValueName visits them.
    std::vector<std::string> getValueNames() const;
    // The registry's status, unchanged.
    RegistryApi::Status deleteValue(const std::string& name);
    // Closes once; later calls do nothing.
    void close();

private:
    RegistryApi::Handle handle;
};

} // namespace PAL

#endif // PAL_REGISTRYKEY_H
