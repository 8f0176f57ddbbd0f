// In-memory registry backend for tests. It answers the way Wine's advapi32 was seen to answer
// (statuses, what is written on 234, the handle returned for an empty path), except that values
// enumerate in insertion order where Wine sorts them.
#include "support/InMemoryRegistry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace hktest {
namespace {

using Status = PAL::RegistryApi::Status;
using Handle = PAL::RegistryApi::Handle;

constexpr Status BadPathname = 161; // ERROR_BAD_PATHNAME
constexpr std::uint32_t RegSz = 1;  // REG_SZ

constexpr std::uint32_t RootValues[] = {0x80000002u, 0x80000003u, 0x80000001u};

// The registry folds case for comparison only; ASCII is all host-key names use.
std::string fold(const std::string& text) {
    std::string folded = text;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

std::uint32_t length32(std::size_t n) {
    return static_cast<std::uint32_t>(n);
}

// Path components; empty ones (doubled or trailing backslashes) are ignored, as the registry
// does. A leading backslash is refused, as the registry does.
bool splitPath(const char* path, std::vector<std::string>& parts) {
    parts.clear();
    if (path == nullptr) {
        return true;
    }
    if (*path == '\\') {
        return false;
    }
    std::string part;
    for (const char* p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
            if (*p == '\0') {
                return true;
            }
        } else {
            part += *p;
        }
    }
}

// Counts per length, so the longest survives deletions without a scan.
class LengthSet {
public:
    void add(std::uint32_t n) { ++counts[n]; }
    void remove(std::uint32_t n) {
        auto it = counts.find(n);
        if (it != counts.end() && --it->second == 0) {
            counts.erase(it);
        }
    }
    std::uint32_t longest() const { return counts.empty() ? 0 : counts.rbegin()->first; }

private:
    std::map<std::uint32_t, unsigned> counts;
};

struct Value {
    std::string name; // the first spelling
    std::string data; // bytes as stored, terminating NUL included
    std::uint32_t type = RegSz;
};

struct Key {
    std::map<std::string, std::unique_ptr<Key>> children; // by folded name
    std::string name;
    std::vector<Value> values;                          // enumeration order
    std::unordered_map<std::string, std::size_t> index; // folded name -> position in values
    LengthSet nameLengths;
    LengthSet dataLengths;
    // The last-write time: a tick for every value stored, renamed or deleted.
    std::uint64_t written = 0;

    Key* child(const std::string& part) const {
        auto it = children.find(fold(part));
        return it == children.end() ? nullptr : it->second.get();
    }

    Key& makeChild(const std::string& part) {
        std::unique_ptr<Key>& slot = children[fold(part)];
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = part;
        }
        return *slot;
    }

    void set(const std::string& valueName, const std::string& bytes, std::uint32_t type = RegSz) {
        ++written;
        const std::string folded = fold(valueName);
        auto it = index.find(folded);
        if (it != index.end()) {
            Value& value = values[it->second];
            dataLengths.remove(length32(value.data.size()));
            value.data = bytes;
            value.type = type;
            dataLengths.add(length32(bytes.size()));
            return;
        }
        index.emplace(folded, values.size());
        values.push_back(Value{valueName, bytes, type});
        nameLengths.add(length32(valueName.size()));
        dataLengths.add(length32(bytes.size()));
    }

    void rename(const std::string& from, const std::string& to) {
        auto it = index.find(fold(from));
        if (it == index.end() || index.count(fold(to)) != 0) {
            throw std::invalid_argument(
                "InMemoryRegistry: no such value, or the new name is taken");
        }
        ++written;
        const std::size_t position = it->second;
        index.erase(it);
        index.emplace(fold(to), position);
        nameLengths.remove(length32(values[position].name.size()));
        nameLengths.add(length32(to.size()));
        values[position].name = to;
    }

    bool erase(const std::string& valueName) {
        auto it = index.find(fold(valueName));
        if (it == index.end()) {
            return false;
        }
        ++written;
        const std::size_t position = it->second;
        index.erase(it);
        nameLengths.remove(length32(values[position].name.size()));
        dataLengths.remove(length32(values[position].data.size()));
        // Later values move up one index, as in the registry; deletions are rare.
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(position));
        for (std::size_t i = position; i < values.size(); ++i) {
            index[fold(values[i].name)] = i;
        }
        return true;
    }

    std::uint32_t longestChildName() const {
        std::size_t longest = 0;
        for (const auto& entry : children) {
            longest = std::max(longest, entry.second->name.size());
        }
        return length32(longest);
    }
};

// Every operation has a slot: ApplyChanges is the last of them.
constexpr std::size_t OpCount = static_cast<std::size_t>(InMemoryRegistry::Op::ApplyChanges) + 1;

std::size_t slot(InMemoryRegistry::Op op) {
    return static_cast<std::size_t>(op);
}

} // namespace

struct InMemoryRegistry::Impl {
    struct Injection {
        Op op;
        Status status;
        unsigned first; // call numbers, 1-based, since construction
        unsigned last;
    };
    struct Hook {
        Op op;
        unsigned call;
        std::function<void()> action;
    };

    std::map<std::uint32_t, Key> roots;
    std::unordered_map<Handle, Key*> open;
    Handle nextHandle = 0x100;
    std::array<unsigned, OpCount> callCounts{};
    std::vector<Injection> injections;
    std::vector<Hook> hooks;
    bool clockStopped = false;

    // Counts the call, runs its hook, and tells whether it is to fail with `status`.
    bool injected(Op op, Status& status) {
        const unsigned call = ++callCounts[slot(op)];
        for (const Hook& hook : hooks) {
            if (hook.op == op && hook.call == call) {
                hook.action();
            }
        }
        for (const Injection& injection : injections) {
            if (injection.op == op && call >= injection.first && call <= injection.last) {
                status = injection.status;
                return true;
            }
        }
        return false;
    }

    Key* rootOf(Handle handle) {
        for (auto& entry : roots) {
            if (PAL::RegistryApi::rootHandle(entry.first) == handle) {
                return &entry.second;
            }
        }
        return nullptr;
    }

    Key* resolve(Handle handle) {
        if (Key* root = rootOf(handle)) {
            return root;
        }
        auto it = open.find(handle);
        return it == open.end() ? nullptr : it->second;
    }

    Key& rootForSetup(std::uint32_t root) {
        auto it = roots.find(root);
        if (it == roots.end()) {
            throw std::invalid_argument("InMemoryRegistry: unknown root key");
        }
        return it->second;
    }

    const Key* find(std::uint32_t root, const std::string& path) const {
        auto it = roots.find(root);
        std::vector<std::string> parts;
        if (it == roots.end() || !splitPath(path.c_str(), parts)) {
            return nullptr;
        }
        const Key* key = &it->second;
        for (const std::string& part : parts) {
            key = key->child(part);
            if (key == nullptr) {
                return nullptr;
            }
        }
        return key;
    }

    Key& make(std::uint32_t root, const std::string& path) {
        std::vector<std::string> parts;
        if (!splitPath(path.c_str(), parts)) {
            throw std::invalid_argument("InMemoryRegistry: a key path cannot start with '\\'");
        }
        Key* key = &rootForSetup(root);
        for (const std::string& part : parts) {
            key = &key->makeChild(part);
        }
        return *key;
    }
};

InMemoryRegistry::InMemoryRegistry() : impl(std::make_unique<Impl>()) {
    for (std::uint32_t root : RootValues) {
        impl->roots[root];
    }
    addKey(0x80000003u, ".DEFAULT");
}

InMemoryRegistry::~InMemoryRegistry() = default;

void InMemoryRegistry::addKey(std::uint32_t root, const std::string& path) {
    impl->make(root, path);
}

void InMemoryRegistry::setValue(std::uint32_t root, const std::string& path,
                                const std::string& name, const std::string& data) {
    // Stored as REG_SZ: the data keeps its terminating NUL.
    impl->make(root, path).set(name, data + '\0');
}

bool InMemoryRegistry::hasKey(std::uint32_t root, const std::string& path) const {
    return impl->find(root, path) != nullptr;
}

std::vector<std::string> InMemoryRegistry::valueNames(std::uint32_t root,
                                                      const std::string& path) const {
    std::vector<std::string> names;
    if (const Key* key = impl->find(root, path)) {
        for (const Value& value : key->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

void InMemoryRegistry::failOn(Op op, Status status, unsigned nth, unsigned count) {
    if (nth == 0 || count == 0) {
        throw std::invalid_argument("InMemoryRegistry::failOn: nth and count start at 1");
    }
    const unsigned first = impl->callCounts[slot(op)] + nth;
    impl->injections.push_back(Impl::Injection{op, status, first, first + count - 1});
}

void InMemoryRegistry::beforeCall(Op op, std::function<void()> action, unsigned nth) {
    if (nth == 0) {
        throw std::invalid_argument("InMemoryRegistry::beforeCall: nth starts at 1");
    }
    impl->hooks.push_back(Impl::Hook{op, impl->callCounts[slot(op)] + nth, std::move(action)});
}

void InMemoryRegistry::renameValue(std::uint32_t root, const std::string& path,
                                   const std::string& from, const std::string& to) {
    impl->make(root, path).rename(from, to);
}

unsigned InMemoryRegistry::calls(Op op) const {
    return impl->callCounts[slot(op)];
}

unsigned InMemoryRegistry::openHandles() const {
    return static_cast<unsigned>(impl->open.size());
}

InMemoryRegistry::Status InMemoryRegistry::openKey(Handle parent, const char* subKey,
                                                   Handle* result) {
    Status status = Success;
    if (impl->injected(Op::Open, status)) {
        return status;
    }
    return open(parent, subKey, false, result);
}

InMemoryRegistry::Status InMemoryRegistry::createKey(Handle parent, const char* subKey,
                                                     Handle* result) {
    Status status = Success;
    if (impl->injected(Op::Create, status)) {
        return status;
    }
    return open(parent, subKey, true, result);
}

InMemoryRegistry::Status InMemoryRegistry::open(Handle parent, const char* subKey, bool create,
                                                Handle* result) {
    *result = 0;
    Key* key = impl->resolve(parent);
    if (key == nullptr) {
        return InvalidHandle;
    }
    std::vector<std::string> parts;
    if (!splitPath(subKey, parts)) {
        return BadPathname;
    }
    // An empty path gives back the parent's own handle; no new handle is made.
    if (parts.empty()) {
        *result = parent;
        return Success;
    }
    for (const std::string& part : parts) {
        key = create ? &key->makeChild(part) : key->child(part);
        if (key == nullptr) {
            return NotFound;
        }
    }
    const Handle handle = impl->nextHandle;
    impl->nextHandle += 4;
    impl->open.emplace(handle, key);
    *result = handle;
    return Success;
}

void InMemoryRegistry::stopClock() {
    impl->clockStopped = true;
}

InMemoryRegistry::Status
InMemoryRegistry::queryInfoKey(Handle handle, std::uint32_t* subKeyCount,
                               std::uint32_t* maxSubKeyLength, std::uint32_t* maxClassLength,
                               std::uint32_t* valueCount, std::uint32_t* maxValueNameLength,
                               std::uint32_t* maxValueDataLength, std::uint64_t* lastWriteTime) {
    Status status = Success;
    if (impl->injected(Op::QueryInfo, status)) {
        return status;
    }
    const Key* key = impl->resolve(handle);
    if (key == nullptr) {
        return InvalidHandle;
    }
    const auto put = [](std::uint32_t* out, std::uint32_t value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    put(subKeyCount, length32(key->children.size()));
    put(maxSubKeyLength, key->longestChildName());
    put(maxClassLength, 0);
    put(valueCount, length32(key->values.size()));
    put(maxValueNameLength, key->nameLengths.longest());
    put(maxValueDataLength, key->dataLengths.longest());
    if (lastWriteTime != nullptr) {
        *lastWriteTime = impl->clockStopped ? 0 : key->written;
    }
    return Success;
}

InMemoryRegistry::Status InMemoryRegistry::enumValue(Handle handle, std::uint32_t index, char* name,
                                                     std::uint32_t* nameLength, std::uint32_t* type,
                                                     unsigned char* data, std::uint32_t* dataSize) {
    Status status = Success;
    if (impl->injected(Op::EnumValue, status)) {
        return status;
    }
    const Key* key = impl->resolve(handle);
    if (key == nullptr) {
        return InvalidHandle;
    }
    if (name == nullptr || nameLength == nullptr || (data != nullptr && dataSize == nullptr)) {
        return InvalidParameter;
    }
    if (index >= key->values.size()) {
        return NoMoreItems;
    }
    const Value& value = key->values[index];
    const std::uint32_t size = length32(value.data.size());
    if (type != nullptr) {
        *type = value.type;
    }
    // Data that does not fit: only the size needed is reported, the name is left alone.
    if (data != nullptr && *dataSize < size) {
        *dataSize = size;
        return MoreData;
    }
    // A name that does not fit is cut to the buffer, NUL included; the length is left alone.
    if (value.name.size() >= *nameLength) {
        if (*nameLength > 0) {
            std::memcpy(name, value.name.data(), *nameLength - 1);
            name[*nameLength - 1] = '\0';
        }
        return MoreData;
    }
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameLength = length32(value.name.size());
    if (data != nullptr) {
        std::memcpy(data, value.data.data(), size);
    }
    if (dataSize != nullptr) {
        *dataSize = size;
    }
    return Success;
}

InMemoryRegistry::Status InMemoryRegistry::enumKey(Handle handle, std::uint32_t index, char* name,
                                                   std::uint32_t* nameLength) {
    Status status = Success;
    if (impl->injected(Op::EnumKey, status)) {
        return status;
    }
    const Key* key = impl->resolve(handle);
    if (key == nullptr) {
        return InvalidHandle;
    }
    if (name == nullptr || nameLength == nullptr) {
        return InvalidParameter;
    }
    if (index >= key->children.size()) {
        return NoMoreItems;
    }
    const std::string& child = std::next(key->children.begin(), index)->second->name;
    if (child.size() >= *nameLength) {
        return MoreData;
    }
    std::memcpy(name, child.c_str(), child.size() + 1);
    *nameLength = length32(child.size());
    return Success;
}

InMemoryRegistry::Status InMemoryRegistry::deleteValue(Handle handle, const char* name) {
    Status status = Success;
    if (impl->injected(Op::DeleteValue, status)) {
        return status;
    }
    Key* key = impl->resolve(handle);
    if (key == nullptr) {
        return InvalidHandle;
    }
    return key->erase(name == nullptr ? std::string() : std::string(name)) ? Success : NotFound;
}

InMemoryRegistry::Status InMemoryRegistry::setValue(Handle handle, const char* name,
                                                    std::uint32_t type, const unsigned char* data,
                                                    std::uint32_t size) {
    Status status = Success;
    if (impl->injected(Op::SetValue, status)) {
        return status;
    }
    Key* key = impl->resolve(handle);
    if (key == nullptr) {
        return InvalidHandle;
    }
    if (data == nullptr && size != 0) {
        return InvalidParameter;
    }
    key->set(name == nullptr ? std::string() : std::string(name),
             data ? std::string(reinterpret_cast<const char*>(data), size) : std::string(), type);
    return Success;
}

InMemoryRegistry::Status InMemoryRegistry::applyChanges(Handle key,
                                                        const std::vector<std::string>& removals,
                                                        const ValueSource& sets,
                                                        std::size_t* applied) {
    Status status = Success;
    if (impl->injected(Op::ApplyChanges, status)) {
        if (applied != nullptr) {
            *applied = 0;
        }
        return status;
    }
    return RegistryApi::applyChanges(key, removals, sets, applied);
}

InMemoryRegistry::Status InMemoryRegistry::closeKey(Handle handle) {
    Status status = Success;
    if (impl->injected(Op::Close, status)) {
        return status;
    }
    if (isPredefinedKey(handle)) {
        return Success;
    }
    return impl->open.erase(handle) == 1 ? Success : InvalidHandle;
}

ScopedRegistryApi::ScopedRegistryApi(PAL::RegistryApi& api) : previous(PAL::setRegistryApi(&api)) {}

ScopedRegistryApi::~ScopedRegistryApi() {
    PAL::setRegistryApi(previous);
}

} // namespace hktest
