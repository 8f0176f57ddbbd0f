// POSIX registry backend: the current user's host-key cache is PuTTY for Unix's host-key file.
// The store's registry calls, each key a view of the file as it was read.
#include "PosixHostKeyStore.h"

#include "PAL/HostKeyFile.h"
#include "PAL/PuttyCache.h"
#include "PAL/RegistryKeyDescriptor.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

namespace PAL {
namespace detail {
namespace {

using Status = RegistryApi::Status;
using ValueText = RegistryApi::ValueText;

// Registry paths compare case-insensitively (ASCII is all the cache path needs).
bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        auto ca = static_cast<unsigned char>(*a);
        auto cb = static_cast<unsigned char>(*b);
        if (ca != cb && !(ca < 0x80 && cb < 0x80 && std::tolower(ca) == std::tolower(cb))) {
            return false;
        }
    }
    return *a == *b;
}

// Whether a name and data fit one line of the file ("name data"), as the key reads it back.
bool fitsLine(const std::string& name, const std::string& data) {
    return !name.empty() && name.find_first_of(std::string(" \r\n\0", 4)) == std::string::npos &&
           data.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// A name no line can have: empty, or with a space or a line break.
bool impossibleName(const char* name) {
    return !name || !*name || std::strpbrk(name, " \r\n");
}

} // namespace

PosixHostKeyStore::PosixHostKeyStore(PosixFiles& calls) : files(calls), nextHandle(0x1000) {}

PosixHostKeyStore::~PosixHostKeyStore() = default;

std::shared_ptr<const Snapshot> PosixHostKeyStore::find(Handle key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    return it == keys.end() ? nullptr : it->second.view;
}

RegistryApi::Status PosixHostKeyStore::load(Handle key, std::shared_ptr<const Snapshot>& view) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    if (it == keys.end()) {
        return InvalidHandle;
    }
    const Status status = loadHeld(it->second);
    view = it->second.view;
    return status;
}

RegistryApi::Status PosixHostKeyStore::loadHeld(OpenKey& key) {
    if (key.view->bytes) {
        return Success;
    }
    std::shared_ptr<Snapshot> read;
    try {
        if (!readWritten(files, *key.view, read)) {
            return statusFromErrno(errno);
        }
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
    key = OpenKey{std::move(read), ValueCursor{}};
    return Success;
}

RegistryApi::Status PosixHostKeyStore::openFile(const std::string& path, bool create,
                                                Handle* result) {
    Fd file(files,
            files.openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (file.get() < 0) {
        return create && errno == ENOENT ? addKey(missingFile(path), result)
                                         : statusFromErrno(errno);
    }
    return readOpened(file.get(), path, nullptr, result);
}

// A key on no file yet: no values, and its first change makes the file.
std::shared_ptr<Snapshot> PosixHostKeyStore::missingFile(const std::string& path) {
    auto view = std::make_shared<Snapshot>();
    view->path = path;
    view->bytes = std::make_shared<FileBuffer>();
    view->creatable = true;
    return view;
}

RegistryApi::Status PosixHostKeyStore::openUserFile(const std::string& home, uid_t uid, gid_t gid,
                                                    bool create, Handle* result,
                                                    std::string* reason) {
    if (!result) {
        return InvalidParameter;
    }
    *result = NotOpen;
    try {
        const std::string path = userHostKeyFilePath(home);
        Fd file(files, -1);
        Walk walk = walkToUserFile(files, home, path, uid, gid, file);
        if (reason) {
            *reason = std::move(walk.reason);
        }
        if (walk.status == NotFound && create) {
            if (!walk.place) {
                return reason && !reason->empty() ? AccessDenied : NotFound;
            }
            auto view = missingFile(path);
            view->place = std::move(walk.place);
            return addKey(std::move(view), result);
        }
        return walk.status == Success ? readOpened(file.get(), path, std::move(walk.place), result)
                                      : walk.status;
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
}

int PosixHostKeyStore::openUserDirectory(Handle key, std::string* reason) {
    auto view = find(key);
    if (!view || !view->place || !view->place->makeDir.empty()) {
        errno = EBADF;
        return -1;
    }
    return reopenChecked(files, *view->place, view->place->dir.get(), reason);
}

RegistryApi::Status PosixHostKeyStore::readOpened(int fd, const std::string& path,
                                                  std::shared_ptr<const CheckedPlace> place,
                                                  Handle* result) {
    auto view = std::make_shared<Snapshot>();
    view->path = path;
    view->place = std::move(place);
    auto bytes = std::make_shared<FileBuffer>();
    const Status status = readHostKeyFile(files, fd, view->file, *bytes);
    if (status != Success) {
        return status;
    }
    view->bytes = std::move(bytes);
    view->nulFreeUntil = firstNul(view->bytes->view());
    return addKey(std::move(view), result);
}

RegistryApi::Status PosixHostKeyStore::addKey(std::shared_ptr<const Snapshot> view,
                                              Handle* result) {
    std::lock_guard<std::mutex> lock(mutex);
    // Handles are never reused, so a closed one stays invalid.
    keys.emplace(nextHandle, OpenKey{std::move(view), ValueCursor{}});
    *result = nextHandle;
    nextHandle += 4;
    return Success;
}

RegistryApi::Status PosixHostKeyStore::openKey(Handle parent, const char* subKey, Handle* result) {
    return openPath(parent, subKey, false, result);
}

RegistryApi::Status PosixHostKeyStore::createKey(Handle parent, const char* subKey,
                                                 Handle* result) {
    return openPath(parent, subKey, true, result);
}

RegistryApi::Status PosixHostKeyStore::openPath(Handle parent, const char* subKey, bool create,
                                                Handle* result) {
    if (!result) {
        return InvalidParameter;
    }
    *result = NotOpen;
    try {
        return openFound(parent, subKey, create, result);
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
}

RegistryApi::Status PosixHostKeyStore::openFound(Handle parent, const char* subKey, bool create,
                                                 Handle* result) {
    const char* path = subKey ? subKey : "";
    if (isPredefinedKey(parent)) {
        const std::string cache = getHostKeyCachePath();
        if (cache.empty()) {
            return NotReady;
        }
        if (parent != rootHandle(RegistryConstants::CurrentUserHandle) ||
            !equalsIgnoringCase(path, cache.c_str())) {
            return NotFound;
        }
        return openFile(locateHostKeyFile(), create, result);
    }
    auto key = find(parent);
    if (!key) {
        return InvalidHandle;
    }
    // The cache key has no sub-keys; an empty path opens it again (and reads it again).
    if (*path) {
        return NotFound;
    }
    if (key->place) {
        return openUserFile(key->place->home, key->place->uid, key->place->gid, create, result,
                            nullptr);
    }
    return openFile(key->path, create, result);
}

RegistryApi::Status
PosixHostKeyStore::queryInfoKey(Handle key, std::uint32_t* subKeyCount,
                                std::uint32_t* maxSubKeyLength, std::uint32_t* maxClassLength,
                                std::uint32_t* valueCount, std::uint32_t* maxValueNameLength,
                                std::uint32_t* maxValueDataLength, std::uint64_t* lastWriteTime) {
    std::shared_ptr<const Snapshot> snapshot;
    if (const Status status = load(key, snapshot); status != Success) {
        return status;
    }
    if (lastWriteTime) {
        // A key shows the file as it was read: its time is the file's then, in FILETIME units
        // (100 ns since 1601), and it moves only with this store's own deletes.
        constexpr std::uint64_t UnixEpoch = 116444736000000000u;
        const struct timespec written = modificationTime(snapshot->file);
        *lastWriteTime = UnixEpoch + static_cast<std::uint64_t>(written.tv_sec) * 10000000u +
                         static_cast<std::uint64_t>(written.tv_nsec) / 100u;
    }
    const std::pair<std::uint32_t*, std::uint32_t> outputs[] = {
        {subKeyCount, 0},
        {maxSubKeyLength, 0},
        {maxClassLength, 0},
        {valueCount, snapshot->summary().count},
        {maxValueNameLength, snapshot->summary().maxNameLength},
        {maxValueDataLength, snapshot->summary().maxDataSize},
    };
    for (const auto& output : outputs) {
        if (output.first) {
            *output.first = output.second;
        }
    }
    return Success;
}

RegistryApi::Status PosixHostKeyStore::enumValue(Handle key, std::uint32_t index, char* name,
                                                 std::uint32_t* nameLength, std::uint32_t* type,
                                                 unsigned char* data, std::uint32_t* dataSize) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    if (it == keys.end()) {
        return InvalidHandle;
    }
    if (const Status status = loadHeld(it->second); status != Success) {
        return status;
    }
    if (!name || !nameLength || (data && !dataSize)) {
        return InvalidParameter;
    }
    const Snapshot& view = *it->second.view;
    Line line{};
    if (index >= view.summary().count || !findValue(view.text(), index, it->second.cursor, line)) {
        return NoMoreItems;
    }
    const char* text = view.text().bytes.data();
    const std::uint32_t length = line.nameLength();
    // The buffer must hold the NUL too; a short one gets as much of the name as fits, the way
    // Wine's RegEnumValueA fills it.
    if (*nameLength <= length) {
        if (*nameLength > 0) {
            std::memcpy(name, text + line.begin, *nameLength - 1);
            name[*nameLength - 1] = '\0';
        }
        return MoreData;
    }
    std::uint32_t required = line.dataLength() + 1;
    if (data && *dataSize < required) {
        *dataSize = required;
        return MoreData;
    }
    std::memcpy(name, text + line.begin, length);
    name[length] = '\0';
    *nameLength = length;
    if (type) {
        *type = RegSz;
    }
    if (data) {
        std::memcpy(data, text + line.data, line.dataLength());
        data[line.dataLength()] = '\0';
    }
    if (dataSize) {
        *dataSize = required;
    }
    return Success;
}

RegistryApi::Status PosixHostKeyStore::enumKey(Handle key, std::uint32_t, char* name,
                                               std::uint32_t* nameLength) {
    if (!isPredefinedKey(key) && !find(key)) {
        return InvalidHandle;
    }
    if (!name || !nameLength) {
        return InvalidParameter;
    }
    // The one key this store has holds no sub-keys, and the roots show none.
    return NoMoreItems;
}

RegistryApi::Status PosixHostKeyStore::deleteValue(Handle key, const char* name) {
    if (!find(key)) {
        return InvalidHandle;
    }
    // No line has a name that is empty or holds a space or a line break.
    if (!name || !*name || std::strpbrk(name, " \n")) {
        return NotFound;
    }
    try {
        const std::vector<std::string> removals{name};
        const std::vector<ValueText> sets;
        const ValueList values(sets);
        const ValueBatch batch(removals, values);
        return rewrite(key, Change{batch, name});
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
}

RegistryApi::Status PosixHostKeyStore::setValue(Handle key, const char* name, std::uint32_t type,
                                                const unsigned char* data, std::uint32_t size) {
    if (!find(key)) {
        return InvalidHandle;
    }
    if (type != RegSz || !name || (!data && size)) {
        return InvalidParameter;
    }
    try {
        std::string text(data ? reinterpret_cast<const char*>(data) : "", size);
        // REG_SZ data ends in its NUL, which the line does not hold.
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        if (!fitsLine(name, text)) {
            return InvalidParameter;
        }
        const std::vector<std::string> removals;
        const std::vector<ValueText> sets{{name, std::move(text)}};
        const ValueList values(sets);
        const ValueBatch batch(removals, values);
        return rewrite(key, Change{batch, nullptr});
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
}

RegistryApi::Status PosixHostKeyStore::applyChanges(Handle key,
                                                    const std::vector<std::string>& removals,
                                                    const ValueSource& sets, std::size_t* applied) {
    if (applied) {
        *applied = 0;
    }
    if (!find(key)) {
        return InvalidHandle;
    }
    for (const std::string& name : removals) {
        if (impossibleName(name.c_str()) || name.find('\0') != std::string::npos) {
            return InvalidParameter;
        }
    }
    Status status = NotEnoughMemory;
    try {
        ValueText set;
        for (std::size_t i = 0; i < sets.size(); ++i) {
            sets.name(i, set.name);
            sets.data(i, set.data);
            if (!fitsLine(set.name, set.data)) {
                return InvalidParameter;
            }
        }
        const ValueBatch batch(removals, sets);
        status = rewrite(key, Change{batch, nullptr});
    } catch (const std::bad_alloc&) {
        // Nothing was changed.
    }
    if (applied && status == Success) {
        *applied = removals.size() + sets.size();
    }
    return status;
}

RegistryApi::Status PosixHostKeyStore::rewrite(Handle key, const Change& change) {
    auto snapshot = find(key);
    if (!snapshot) {
        return InvalidHandle;
    }
    std::shared_ptr<const Snapshot> written;
    Status status = NotEnoughMemory;
    try {
        status = rewriteFile(files, *snapshot, change, &written);
    } catch (const std::bad_alloc&) {
        // Unwinding removed the new file, if there was one.
    }
    if (written) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = keys.find(key);
        if (it != keys.end()) {
            it->second = OpenKey{std::move(written), ValueCursor{}};
        }
    }
    return status;
}

RegistryApi::Status PosixHostKeyStore::closeKey(Handle key) {
    if (isPredefinedKey(key)) {
        return Success;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return keys.erase(key) ? Success : InvalidHandle;
}

} // namespace detail

namespace {

detail::PosixHostKeyStore& hostKeyStore() {
    static detail::PosixHostKeyStore store;
    return store;
}

} // namespace

RegistryApi& platformRegistryApi() {
    return hostKeyStore();
}

RegistryApi::Status openUserHostKeyFile(const std::string& home, std::uint32_t uid,
                                        std::uint32_t gid, bool create, RegistryApi::Handle* result,
                                        std::string* reason) {
    return hostKeyStore().openUserFile(home, uid, gid, create, result, reason);
}

int openUserHostKeyDirectory(RegistryApi::Handle key, std::string* reason) {
    return hostKeyStore().openUserDirectory(key, reason);
}

} // namespace PAL
