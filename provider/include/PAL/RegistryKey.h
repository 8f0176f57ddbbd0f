// An open registry key: a descriptor plus the handle the registry returned, reached only
// through the RegistryApi seam. Opens on construction, closes exactly once.
#ifndef PAL_REGISTRYKEY_H
#define PAL_REGISTRYKEY_H

#include "PAL/ByteBuffer.h"
#include "PAL/OpenKey.h"
#include "PAL/RegistryApi.h"
#include "PAL/RegistryKeyDescriptor.h"
#include "PAL/ValueWalk.h"

#include <cstddef>
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
    std::uint64_t lastWriteTime = 0; // a FILETIME: moves with every value stored or deleted
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
    RegistryApi::Handle getHandle() const { return key.get(); }

    RegistryKeyInfo getKeyInfo() const;
    std::uint32_t getValueCount() const;
    // The entry at `index`; with `data`, its bytes are read into it as well.
    RegistryValue getValue(std::uint32_t index, ByteBuffer* data = nullptr) const;
    // One pass over the values: calls `visit` with the name of each in enumeration order, and
    // tells whether the key's last-write time and value count were the same after the pass as
    // before it. Unreadable indices are skipped silently.
    bool forEachValueName(const std::function<void(const std::string&)>& visit) const;
    // Names of the values in enumeration order, those `keep` accepts (all without it), from a
    // pass that nothing changed under: a key that changed during a pass (another program's
    // delete moves every later value up one index, so the pass skips one) is listed again, at
    // most ListingPasses times in all, and then the last pass is taken as it is.
    std::vector<std::string>
    getValueNames(const std::function<bool(const std::string&)>& keep = nullptr) const;
    static constexpr int ListingPasses = ValueWalk::MostPasses;
    // Whether nothing another program does can change what one pass sees (the backend shows
    // the key as it was when it was opened): a single pass may then be used as it goes.
    bool isSnapshot() const { return key.api().keysAreSnapshots(); }
    // The registry's status, unchanged.
    RegistryApi::Status deleteValue(const std::string& name);
    // Stores `data` as the text (REG_SZ) value `name`, added or replaced; the registry's
    // status, unchanged.
    RegistryApi::Status setValue(const std::string& name, const std::string& data);
    // Removes the values `removals` (those not there are no failure) and then stores `sets`:
    // all at once, or nothing, where the backend can (the host-key file); else one call per
    // value, stopping at the first failure, with *applied (when given) counting those made.
    RegistryApi::Status applyChanges(const std::vector<std::string>& removals,
                                     const std::vector<RegistryApi::ValueText>& sets,
                                     std::size_t* applied = nullptr);
    // Closes once; later calls do nothing.
    void close();

private:
    OpenKey key;
};

} // namespace PAL

#endif // PAL_REGISTRYKEY_H
