#include "PAL/RegistryKey.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"

#include <cstring>
#include <memory>
#include <sstream>

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
    : RegistryKeyDescriptor(descriptor), handle(RegistryApi::NotOpen) {
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
    const std::string path = getSubKey();
    RegistryApi::Handle opened = RegistryApi::NotOpen;
    const RegistryApi::Status status = registryApi().openKey(parent, path.c_str(), &opened);
    handle = status == RegistryApi::Success ? opened : RegistryApi::NotOpen;
    return status;
}

RegistryKeyDescriptor RegistryKey::getDescriptor() const {
    return *this;
}

std::string RegistryKey::toString() const {
    return RegistryKeyDescriptor::toString();
}

RegistryKeyInfo RegistryKey::getKeyInfo() const {
    RegistryKeyInfo info;
    info.valid =
        registryApi().queryInfoKey(handle, &info.subKeyCount, &info.maxSubKeyLength,
                                   &info.maxClassLength, &info.valueCount, &info.maxValueNameLength,
                                   &info.maxValueDataLength) == RegistryApi::Success;
    return info;
}

std::uint32_t RegistryKey::getValueCount() const {
    const RegistryKeyInfo info = getKeyInfo();
    return info.valid ? info.valueCount : 0;
}

namespace {

// A zeroed name buffer for the longest name of `info`; none when no buffer can hold it.
std::unique_ptr<ByteBuffer> nameBufferFor(const RegistryKeyInfo& info) {
    // The registry's lengths leave out the terminating NUL.
    const std::uint32_t nameSize = info.maxValueNameLength + 1;
    auto name = std::make_unique<ByteBuffer>(nameSize);
    if (name->getData() == nullptr) {
        return nullptr; // a longest name of 2^32 - 1 characters
    }
    std::memset(name->getData(), 0, nameSize);
    return name;
}

// Reads the name at `index` into `name` (zeroed); the entry counts as found on 0 or 234. The
// buffer is left zeroed again, touching only the bytes the registry may have written.
bool readName(RegistryApi::Handle handle, std::uint32_t index, ByteBuffer& name, std::string& text,
              std::uint32_t& type) {
    auto* nameText = reinterpret_cast<char*>(name.getData());
    std::uint32_t nameLength = name.getSize();
    const RegistryApi::Status status =
        registryApi().enumValue(handle, index, nameText, &nameLength, &type, nullptr, nullptr);
    const bool found = status == RegistryApi::Success || status == RegistryApi::MoreData;
    if (found) {
        text = textIn(name);
    }
    const bool knownLength = status == RegistryApi::Success && nameLength < name.getSize();
    std::memset(nameText, 0, knownLength ? nameLength + 1 : name.getSize());
    return found;
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
        value.found = readName(handle, index, *name, value.name, value.type);
        return value;
    }

    // First the name and the size of the data, then the data itself into a buffer that fits.
    const std::uint32_t nameSize = name->getSize();
    auto* nameText = reinterpret_cast<char*>(name->getData());
    std::uint32_t nameLength = nameSize;
    RegistryApi& api = registryApi();
    api.enumValue(handle, index, nameText, &nameLength, &value.type, nullptr, &value.dataSize);
    value.name = textIn(*name);
    data->resize(value.dataSize);
    nameLength = nameSize;
    value.dataSize = data->getSize();
    value.found = api.enumValue(handle, index, nameText, &nameLength, &value.type, data->getData(),
                                &value.dataSize) == RegistryApi::Success;
    return value;
}

std::vector<std::string> RegistryKey::getValueNames() const {
    std::vector<std::string> names;
    const std::uint32_t count = getValueCount();
    names.reserve(count);
    // Each entry is read as getValue reads it (its own info query, a buffer for the longest
    // name), but the zeroed buffer is kept from one entry to the next while the longest length
    // stays the same: one garbage line of a megabyte in the cache would otherwise cost a
    // megabyte of allocation and zeroing for every value listed.
    std::unique_ptr<ByteBuffer> name;
    for (std::uint32_t index = 0; index < count; ++index) {
        const RegistryKeyInfo info = getKeyInfo();
        if (!info.valid) {
            continue;
        }
        if (!name || name->getSize() != info.maxValueNameLength + 1) {
            name = nameBufferFor(info);
            if (!name) {
                continue;
            }
        }
        std::string text;
        std::uint32_t type = 0;
        if (readName(handle, index, *name, text, type)) {
            names.push_back(std::move(text));
        }
    }
    return names;
}

RegistryApi::Status RegistryKey::deleteValue(const std::string& name) {
    return registryApi().deleteValue(handle, name.c_str());
}

void RegistryKey::close() {
    if (handle == RegistryApi::NotOpen) {
        return;
    }
    registryApi().closeKey(handle);
    handle = RegistryApi::NotOpen;
}

} // namespace PAL
