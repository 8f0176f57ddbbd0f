// Helpers for the host-key store's tests: a system-call layer that fails or interleaves chosen
// calls, a writer that adds keys the way PuTTY does, and short ways to list and delete.
#ifndef HK_TESTS_POSIX_HOSTKEYSTORETESTING_H
#define HK_TESTS_POSIX_HOSTKEYSTORETESTING_H

#include "../../provider/src/hostkeystore/PosixHostKeyStore.h"
#include "PAL/PuttyCache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace hktest {

using PAL::RegistryApi;
using PAL::detail::PosixHostKeyStore;

inline RegistryApi::Handle currentUser() {
    return RegistryApi::rootHandle(PAL::RegistryConstants::CurrentUserHandle);
}

// Names the current user's cache key to the store, as each program's main does.
inline void nameTheCache() {
    PAL::setHostKeyCachePath(PAL::puttyCacheSubKey());
}

// The current user's cache key, named to the store.
inline const char* cachePath() {
    nameTheCache();
    return PAL::puttyCacheSubKey().c_str();
}

// The calls of a delete, told apart by what they are for.
enum class Call {
    OpenDir,
    OpenFile,
    CreateTemp,
    Read,
    Write,
    Fstat,
    Fstatat,
    StatPuttyTemp, // the look for PuTTY's <file>.tmp
    StatPath,      // the look at what the configured path names
    Access,
    Chown,
    Chmod,
    SyncFile,
    SyncDir,
    Close,
    Lock,
    Exchange,
    Rename,
    Unlink,
    Realpath,
    ListXattr,
    GetXattr,
    SetXattr,
    RemoveXattr,
    MakeDir,
    Link,
};

// The real calls, except that chosen ones fail, run an action first, or (reads and writes)
// move at most a few bytes at a time.
class FaultyFiles : public PAL::detail::PosixFiles {
public:
    // The nth call of `call` from now (1-based) and the count - 1 after it fail with `error`.
    void failOn(Call call, int error, unsigned nth = 1, unsigned count = 1) {
        for (unsigned i = 0; i < count; ++i) {
            failures[{call, counts[call] + nth + i}] = error;
        }
    }
    // Runs `action` just before the nth call of `call` from now (0: before every call).
    void before(Call call, std::function<void()> action, unsigned nth = 1) {
        actions[{call, nth == 0 ? 0 : counts[call] + nth}] = std::move(action);
    }
    unsigned calls(Call call) const {
        auto it = counts.find(call);
        return it == counts.end() ? 0 : it->second;
    }
    // Reads and writes move at most this many bytes per call (0: no limit).
    std::size_t chunk = 0;

    int openat(int dirFd, const char* path, int flags, mode_t mode) override {
        Call call = (flags & O_DIRECTORY) ? Call::OpenDir
                    : (flags & O_CREAT)   ? Call::CreateTemp
                                          : Call::OpenFile;
        if (enter(call)) {
            return -1;
        }
        int fd = PosixFiles::openat(dirFd, path, flags, mode);
        if (call == Call::OpenDir && fd >= 0) {
            dirFds.insert(fd);
        }
        return fd;
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override {
        return enter(Call::Read) ? -1 : PosixFiles::read(fd, buffer, limit(size));
    }
    ssize_t write(int fd, const void* buffer, std::size_t size) override {
        return enter(Call::Write) ? -1 : PosixFiles::write(fd, buffer, limit(size));
    }
    int fstat(int fd, struct stat* st) override {
        return enter(Call::Fstat) ? -1 : PosixFiles::fstat(fd, st);
    }
    int fstatat(int dirFd, const char* path, struct stat* st, int flags) override {
        const std::string name = path;
        const bool puttyTemp = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
        Call call = dirFd != AT_FDCWD ? Call::Fstatat
                    : puttyTemp       ? Call::StatPuttyTemp
                                      : Call::StatPath;
        return enter(call) ? -1 : PosixFiles::fstatat(dirFd, path, st, flags);
    }
    int faccessat(int dirFd, const char* path, int mode, int flags) override {
        return enter(Call::Access) ? -1 : PosixFiles::faccessat(dirFd, path, mode, flags);
    }
    int fchown(int fd, uid_t owner, gid_t group) override {
        return enter(Call::Chown) ? -1 : PosixFiles::fchown(fd, owner, group);
    }
    int fchmod(int fd, mode_t mode) override {
        return enter(Call::Chmod) ? -1 : PosixFiles::fchmod(fd, mode);
    }
    int fsync(int fd) override {
        return enter(dirFds.count(fd) ? Call::SyncDir : Call::SyncFile) ? -1
                                                                        : PosixFiles::fsync(fd);
    }
    int close(int fd) override {
        dirFds.erase(fd);
        if (enter(Call::Close)) {
            PosixFiles::close(fd); // close(2) frees the descriptor even when it reports an error
            return -1;
        }
        return PosixFiles::close(fd);
    }
    int flock(int fd, int operation) override {
        return enter(Call::Lock) ? -1 : PosixFiles::flock(fd, operation);
    }
    int renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                  unsigned int flags) override {
        return enter(flags ? Call::Exchange : Call::Rename)
                   ? -1
                   : PosixFiles::renameat2(oldDirFd, oldPath, newDirFd, newPath, flags);
    }
    int unlinkat(int dirFd, const char* path, int flags) override {
        return enter(Call::Unlink) ? -1 : PosixFiles::unlinkat(dirFd, path, flags);
    }
    int mkdirat(int dirFd, const char* path, mode_t mode) override {
        return enter(Call::MakeDir) ? -1 : PosixFiles::mkdirat(dirFd, path, mode);
    }
    int linkat(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
               int flags) override {
        return enter(Call::Link) ? -1
                                 : PosixFiles::linkat(oldDirFd, oldPath, newDirFd, newPath, flags);
    }
    ssize_t flistxattr(int fd, char* list, std::size_t size) override {
        return enter(Call::ListXattr) ? -1 : PosixFiles::flistxattr(fd, list, size);
    }
    ssize_t fgetxattr(int fd, const char* name, void* value, std::size_t size) override {
        return enter(Call::GetXattr) ? -1 : PosixFiles::fgetxattr(fd, name, value, size);
    }
    int fsetxattr(int fd, const char* name, const void* value, std::size_t size) override {
        return enter(Call::SetXattr) ? -1 : PosixFiles::fsetxattr(fd, name, value, size);
    }
    int fremovexattr(int fd, const char* name) override {
        return enter(Call::RemoveXattr) ? -1 : PosixFiles::fremovexattr(fd, name);
    }
    std::optional<std::string> realpath(const std::string& path) override {
        return enter(Call::Realpath) ? std::nullopt : PosixFiles::realpath(path);
    }

private:
    // Counts the call, runs its actions; true (with errno set) when it is to fail.
    bool enter(Call call) {
        unsigned n = ++counts[call];
        for (unsigned key : {0u, n}) {
            auto action = actions.find({call, key});
            if (action != actions.end()) {
                auto run = action->second;
                run();
            }
        }
        auto failure = failures.find({call, n});
        if (failure == failures.end()) {
            return false;
        }
        errno = failure->second;
        return true;
    }
    std::size_t limit(std::size_t size) const { return chunk && size > chunk ? chunk : size; }

    std::map<Call, unsigned> counts;
    std::map<std::pair<Call, unsigned>, int> failures;
    std::map<std::pair<Call, unsigned>, std::function<void()>> actions;
    std::set<int> dirFds;
};

// Adds `line` ("name data") the way PuTTY 0.78 does: copies every line of the file but those
// of the same name to <file>.tmp, appends the new line, renames the copy over the file.
inline void puttyAdd(const std::string& path, const std::string& line) {
    std::string header = line.substr(0, line.find(' ') + 1);
    std::string tmp = path + ".tmp";
    FILE* out = std::fopen(tmp.c_str(), "w");
    if (!out) {
        return;
    }
    if (FILE* in = std::fopen(path.c_str(), "r")) {
        char* text = nullptr;
        std::size_t capacity = 0;
        while (getline(&text, &capacity, in) > 0) {
            if (std::string(text).compare(0, header.size(), header) != 0) {
                std::fputs(text, out);
            }
        }
        std::free(text);
        std::fclose(in);
    }
    std::fputs((line + "\n").c_str(), out);
    std::fclose(out);
    std::rename(tmp.c_str(), path.c_str());
}

// Value names of the current user's cache through the seam, in enumeration order.
inline std::vector<std::string> listNames(RegistryApi& api) {
    std::vector<std::string> names;
    RegistryApi::Handle key = RegistryApi::NotOpen;
    if (api.openKey(currentUser(), cachePath(), &key) != RegistryApi::Success) {
        return names;
    }
    std::uint32_t count = 0;
    std::uint32_t longest = 0;
    api.queryInfoKey(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr);
    std::vector<char> buffer(longest + 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = longest + 1;
        if (api.enumValue(key, i, buffer.data(), &length, nullptr, nullptr, nullptr) ==
            RegistryApi::Success) {
            names.emplace_back(buffer.data(), length);
        }
    }
    api.closeKey(key);
    return names;
}

// Opens the cache, deletes `name`, closes; the delete's status (or the failed open's).
inline RegistryApi::Status deleteName(RegistryApi& api, const char* name) {
    RegistryApi::Handle key = RegistryApi::NotOpen;
    RegistryApi::Status status = api.openKey(currentUser(), cachePath(), &key);
    if (status != RegistryApi::Success) {
        return status;
    }
    status = api.deleteValue(key, name);
    api.closeKey(key);
    return status;
}

// Names of the entries of a directory, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace hktest

#endif // HK_TESTS_POSIX_HOSTKEYSTORETESTING_H
