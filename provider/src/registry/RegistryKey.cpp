#include "PAL/RegistryKey.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/ValueWalk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>

namespace PAL {
namespace {

// The text up to the first NUL, never reading past the buffer.
std::string textIn(const ByteBuffer& buffer) {
    const auto* bytes = reinterpret_cast<const char*>(buffer.getData());
    if (bytes == nullptr) {
        return std::string();
    }
    const void* nul = std::memchr(bytes, '\0', buffer.getSize());
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : buffer.getSize();
    return std::string(bytes, length);
}

// The place a failed open is reported from, named by the registry header like every throw site
// of the layer: one fixed text, seen in logs, whatever this file's own path and lines become.
const char* const OpenThrowSite = "provider/include/PAL/Registry:88";

// Builds the error for a failed open and writes its log record; the record and the exception
// name the same place.
RegistryKeyError openError(const RegistryKey& key, RegistryApi::Status status) {
    RegistryKeyError error(key.getDescriptor(), "error opening key" + key.toString(),
                           static_cast<int>(status),
                           std::string("RegistryKey::getKey():") + OpenThrowSite);
    std::ostringstream record;
    record << "Throw exception " << OpenThrowSite << error;
    logMessage(TC_PAL, LOG_ERROR, record.str());
    return error;
}

} // namespace

RegistryKey::RegistryKey(const RegistryKeyDescriptor& descriptor)
    : RegistryKeyDescriptor(descriptor), key(registryApi()) {
    getKey();
}

RegistryKey::~RegistryKey() {
    close();
}

void RegistryKey::getKey() {
    const RegistryApi::Status status = openKey();
    if (status == RegistryApi::Success) {
        return;
    }
    throw openError(*this, status);
}

RegistryApi::Status RegistryKey::openKey() {
    // Root handles are 32-bit values; the API takes them sign-extended, as HKEY does.
    const RegistryApi::Handle parent = RegistryApi::rootHandle(getRootKeyHandle(getRoot()));
    return key.open(parent, getSubKey());
}

RegistryKeyDescriptor RegistryKey::getDescriptor() const {
    return *this;
}

std::string RegistryKey::toString() const {
    return RegistryKeyDescriptor::toString();
}

RegistryKeyInfo RegistryKey::getKeyInfo() const {
    RegistryKeyInfo info;
    info.valid = key.api().queryInfoKey(key.get(), &info.subKeyCount, &info.maxSubKeyLength,
                                        &info.maxClassLength, &info.valueCount,
                                        &info.maxValueNameLength, &info.maxValueDataLength,
                                        &info.lastWriteTime) == RegistryApi::Success;
    return info;
}

std::uint32_t RegistryKey::getValueCount() const {
    const RegistryKeyInfo info = getKeyInfo();
    return info.valid ? info.valueCount : 0;
}

namespace {

// A zeroed name buffer of `size` bytes; none when it cannot be had (0, or past 32 bits).
std::unique_ptr<ByteBuffer> zeroedBuffer(std::uint64_t size) {
    if (size == 0 || size > UINT32_MAX) {
        return nullptr;
    }
    auto name = std::make_unique<ByteBuffer>(static_cast<std::uint32_t>(size));
    if (name->getData() == nullptr) {
        return nullptr;
    }
    std::memset(name->getData(), 0, name->getSize());
    return name;
}

// A zeroed name buffer for the longest name of `info`; none when no buffer can hold it.
std::unique_ptr<ByteBuffer> nameBufferFor(const RegistryKeyInfo& info) {
    // The registry's lengths leave out the terminating NUL.
    return zeroedBuffer(std::uint64_t{info.maxValueNameLength} + 1);
}

// Reads the name at `index` into `name` (zeroed) and returns the registry's status; on 0 and
// 234 `text` is the buffer's text. The buffer is left zeroed again, touching only the bytes the
// registry may have written.
RegistryApi::Status readName(const OpenKey& key, std::uint32_t index, ByteBuffer& name,
                             std::string& text, std::uint32_t& type) {
    auto* nameText = reinterpret_cast<char*>(name.getData());
    std::uint32_t nameLength = name.getSize();
    const RegistryApi::Status status =
        key.api().enumValue(key.get(), index, nameText, &nameLength, &type, nullptr, nullptr);
    if (status == RegistryApi::Success || status == RegistryApi::MoreData) {
        text = textIn(name);
    }
    const bool knownLength = status == RegistryApi::Success && nameLength < name.getSize();
    std::memset(nameText, 0, knownLength ? nameLength + 1 : name.getSize());
    return status;
}

} // namespace

RegistryValue RegistryKey::getValue(std::uint32_t index, ByteBuffer* data) const {
    RegistryValue value;
    const RegistryKeyInfo info = getKeyInfo();
    if (!info.valid) {
        return value;
    }
    const std::unique_ptr<ByteBuffer> name = nameBufferFor(info);
    if (!name) {
        return value;
    }
    if (data == nullptr) {
        const RegistryApi::Status status = readName(key, index, *name, value.name, value.type);
        value.found = status == RegistryApi::Success || status == RegistryApi::MoreData;
        return value;
    }

    // First the name and the size of the data, then the data itself into a buffer that fits.
    const std::uint32_t nameSize = name->getSize();
    auto* nameText = reinterpret_cast<char*>(name->getData());
    std::uint32_t nameLength = nameSize;
    RegistryApi& api = key.api();
    api.enumValue(key.get(), index, nameText, &nameLength, &value.type, nullptr, &value.dataSize);
    value.name = textIn(*name);
    data->resize(value.dataSize);
    nameLength = nameSize;
    value.dataSize = data->getSize();
    value.found = api.enumValue(key.get(), index, nameText, &nameLength, &value.type,
                                data->getData(), &value.dataSize) == RegistryApi::Success;
    return value;
}

bool RegistryKey::forEachValueName(const std::function<void(const std::string&)>& visit) const {
    ValueWalk walk(key.api(), key.get(), ValueWalk::Reading::Names);
    std::string text;
    bool unchanged = false;
    walk.pass(
        [&](std::string_view name, std::uint32_t, std::string_view) {
            text.assign(name);
            visit(text);
        },
        false, &unchanged);
    return unchanged;
}

std::vector<std::string>
RegistryKey::getValueNames(const std::function<bool(const std::string&)>& keep) const {
    ValueWalk walk(key.api(), key.get(), ValueWalk::Reading::Names);
    std::vector<std::string> names;
    std::string text;
    walk.passes([&names] { names.clear(); },
                [&](std::string_view name, std::uint32_t, std::string_view) {
                    text.assign(name);
                    if (!keep || keep(text)) {
                        names.push_back(text);
                    }
                });
    return names;
}

RegistryApi::Status RegistryKey::deleteValue(const std::string& name) {
    return key.api().deleteValue(key.get(), name.c_str());
}

RegistryApi::Status RegistryKey::setValue(const std::string& name, const std::string& data) {
    // Text that does not fit the registry's 32-bit size; it holds its NUL too.
    if (data.size() >= UINT32_MAX) {
        return RegistryApi::InvalidParameter;
    }
    return key.api().setValue(key.get(), name.c_str(), RegistryApi::RegSz,
                              reinterpret_cast<const unsigned char*>(data.c_str()),
                              static_cast<std::uint32_t>(data.size() + 1));
}

RegistryApi::Status RegistryKey::applyChanges(const std::vector<std::string>& removals,
                                              const std::vector<RegistryApi::ValueText>& sets,
                                              std::size_t* applied) {
    return key.api().applyChanges(key.get(), removals, sets, applied);
}

void RegistryKey::close() {
    key.close();
}

} // namespace PAL
