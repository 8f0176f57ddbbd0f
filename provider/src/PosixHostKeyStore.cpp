// POSIX registry backend: the current user's host-key cache is PuTTY for Unix's host-key file.
// Only this backend's own code lives here: the file's location, reading it, rewriting it safely.
#include "PosixHostKeyStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace PAL {
namespace detail {

// One open key: the file as it was read, and where each value's name and data lie in it.
struct PosixHostKeyStore::Snapshot {
    struct Value {
        std::size_t name;
        std::uint32_t nameLength;
        std::size_t data;
        std::uint32_t dataLength;
    };
    std::string path; // the location the key was opened at, symbolic links unresolved
    std::string bytes;
    std::vector<Value> values;
    std::uint32_t maxNameLength = 0;
    std::uint32_t maxDataSize = 0; // REG_SZ sizes count the terminating NUL
};

namespace {

using Status = RegistryApi::Status;
using Snapshot = PosixHostKeyStore::Snapshot;

constexpr std::uint32_t RegSz = 1;
constexpr Status FileTooLarge = 223; // ERROR_FILE_TOO_LARGE
// Lengths and counts in the registry calls are 32-bit.
constexpr std::size_t MaxFileSize = 0xFFFFFFFFu;
// The handles of the predefined roots, HKEY_CLASSES_ROOT (0x80000000) to HKEY_DYN_DATA.
constexpr std::uint32_t FirstRoot = 0x80000000;
constexpr std::uint32_t LastRoot = 0x80000006;
constexpr std::uint32_t CurrentUserRoot = 0x80000001;

bool isRoot(RegistryApi::Handle handle) {
    for (std::uint32_t root = FirstRoot; root <= LastRoot; ++root) {
        if (handle == RegistryApi::rootHandle(root)) {
            return true;
        }
    }
    return false;
}

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

// Calls f(begin, textEnd, end) for each line: [begin, textEnd) is its text without "\n" or
// "\r\n", [begin, end) the whole line with its terminator. A last line may have none.
template <typename F>
void forEachLine(const std::string& bytes, F&& f) {
    const char* base = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t begin = 0;
    while (begin < size) {
        const void* newline = std::memchr(base + begin, '\n', size - begin);
        std::size_t end = size;
        std::size_t textEnd = size;
        if (newline) {
            textEnd = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
            end = textEnd + 1;
            if (textEnd > begin && base[textEnd - 1] == '\r') {
                --textEnd;
            }
        }
        f(begin, textEnd, end);
        begin = end;
    }
}

// End of a line's value name: its first space, or the end of its text.
std::size_t nameEnd(const std::string& bytes, std::size_t begin, std::size_t textEnd) {
    const void* space = std::memchr(bytes.data() + begin, ' ', textEnd - begin);
    return space ? static_cast<std::size_t>(static_cast<const char*>(space) - bytes.data())
                 : textEnd;
}

// Files are below MaxFileSize (checked on reading), so every length fits 32 bits.
std::shared_ptr<const Snapshot> parse(const std::string& path, std::string bytes) {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->path = path;
    snapshot->bytes = std::move(bytes);
    const std::string& text = snapshot->bytes;
    forEachLine(text, [&](std::size_t begin, std::size_t textEnd, std::size_t) {
        if (textEnd == begin) {
            return;
        }
        std::size_t end = nameEnd(text, begin, textEnd);
        std::size_t data = end < textEnd ? end + 1 : textEnd;
        Snapshot::Value value{begin, static_cast<std::uint32_t>(end - begin), data,
                              static_cast<std::uint32_t>(textEnd - data)};
        snapshot->maxNameLength = std::max(snapshot->maxNameLength, value.nameLength);
        snapshot->maxDataSize = std::max(snapshot->maxDataSize, value.dataLength + 1);
        snapshot->values.push_back(value);
    });
    return snapshot;
}

// Removes the lines named `name` from `bytes`, in place (no second copy of a large file);
// false when there is none.
bool removeLines(std::string& bytes, const std::string& name) {
    bool found = false;
    std::size_t kept = 0;
    // Lines only ever move towards the start, behind the line being looked at.
    forEachLine(bytes, [&](std::size_t begin, std::size_t textEnd, std::size_t end) {
        std::size_t length = nameEnd(bytes, begin, textEnd) - begin;
        if (length == name.size() && bytes.compare(begin, length, name) == 0) {
            found = true;
            return;
        }
        if (kept != begin) {
            std::memmove(&bytes[kept], &bytes[begin], end - begin);
        }
        kept += end - begin;
    });
    bytes.resize(kept);
    return found;
}

// A descriptor closed through the seam.
class Fd {
public:
    Fd(PosixFiles& calls, int descriptor) : files(calls), fd(descriptor) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd; }
    void reset(int newFd) {
        close();
        fd = newFd;
    }
    // Closes now; the result of close(2) reports a write that failed late.
    int close() {
        int result = fd >= 0 ? files.close(fd) : 0;
        fd = -1;
        return result;
    }

private:
    PosixFiles& files;
    int fd;
};

bool readAll(PosixFiles& files, int fd, std::size_t sizeHint, std::string& out) {
    out.assign(std::max<std::size_t>(sizeHint + 1, 4096), '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == out.size()) {
            out.resize(out.size() * 2);
        }
        ssize_t n = files.read(fd, &out[used], out.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    out.resize(used);
    return true;
}

// Reads the whole of an open host-key file into `bytes`; `st` is its status before the read.
Status readHostKeyFile(PosixFiles& files, int fd, struct stat& st, std::string& bytes) {
    if (files.fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    // A directory, a device or a pipe is nothing PuTTY could have written.
    if (!S_ISREG(st.st_mode)) {
        return RegistryApi::AccessDenied;
    }
    // Refused before reading, so that a huge file costs no memory; checked again after, in
    // case it grew meanwhile.
    if (static_cast<std::uint64_t>(st.st_size) >= MaxFileSize) {
        return FileTooLarge;
    }
    if (!readAll(files, fd, static_cast<std::size_t>(st.st_size), bytes)) {
        return statusFromErrno(errno);
    }
    return bytes.size() >= MaxFileSize ? FileTooLarge : RegistryApi::Success;
}

bool writeAll(PosixFiles& files, int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = files.write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The new file, created exclusively next to the one it replaces; removed on destruction
// unless it has been renamed into place (release).
class TempFile {
public:
    TempFile(PosixFiles& calls, int directory) : files(calls), dirFd(directory), fd(calls, -1) {}
    ~TempFile() {
        fd.close();
        if (!name.empty()) {
            files.unlinkat(dirFd, name.c_str(), 0);
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool create(const std::string& base) {
        static std::atomic<unsigned> counter{0};
        // Leaves room for the suffix within NAME_MAX (255).
        std::string stem = base.substr(0, 200) + PosixHostKeyStore::TempInfix;
        for (int tries = 0; tries < 100; ++tries) {
            auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
            char suffix[64];
            std::snprintf(suffix, sizeof suffix, "%ld-%u-%llx", static_cast<long>(getpid()),
                          counter++, static_cast<unsigned long long>(ticks) & 0xffffffULL);
            std::string candidate = stem + suffix;
            int created = files.openat(dirFd, candidate.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (created >= 0) {
                name = candidate;
                fd.reset(created);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
        errno = EEXIST;
        return false;
    }

    const char* path() const { return name.c_str(); }
    int get() const { return fd.get(); }
    int close() { return fd.close(); }
    // The file now lives on under another name (or must be kept): do not remove it.
    void release() { name.clear(); }

private:
    PosixFiles& files;
    int dirFd;
    Fd fd;
    std::string name;
};

// The change check: a PuTTY writer replaces the file (new inode) or, in principle, rewrites it
// in place (new size or time). The change time is left out: a rename changes it.
bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

struct Outcome {
    bool retry;
    Status status;
    bool replaced = false; // a new file without the name was put in place
};
Outcome done(Status status) {
    return {false, status};
}
Outcome failed(int error) {
    return {false, statusFromErrno(error)};
}
Outcome again() {
    return {true, RegistryApi::Success};
}

// PuTTY writes the file without a lock: it creates <file>.tmp, reads the file, copies it to
// the .tmp with its new line and renames the .tmp over the file. While the .tmp exists a write
// is under way whose rename would undo a delete made meanwhile. Waits for it to end, at most
// two seconds; a .tmp not written to for two seconds was left by a writer that died.
void waitForPuttyWrite(PosixFiles& files, const std::string& puttyTemp) {
    constexpr auto limit = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    struct stat st {};
    while (files.fstatat(AT_FDCWD, puttyTemp.c_str(), &st, 0) == 0 &&
           std::chrono::steady_clock::now() - start < limit) {
        auto written = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (std::chrono::system_clock::now() - written > limit) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool sameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// One read-modify-replace of the file `base` in the locked directory `dirFd`. `keyPath` is
// the file as configured (PuTTY's .tmp sits next to it).
Outcome deleteOnce(PosixFiles& files, int dirFd, const std::string& base, const std::string& name,
                   const std::string& keyPath, std::shared_ptr<const Snapshot>* written) {
    const std::string puttyTemp = keyPath + ".tmp";
    waitForPuttyWrite(files, puttyTemp);
    Fd file(files,
            files.openat(dirFd, base.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (file.get() < 0) {
        return failed(errno);
    }
    struct stat before {};
    std::string bytes;
    const Status status = readHostKeyFile(files, file.get(), before, bytes);
    if (status != RegistryApi::Success) {
        return done(status);
    }
    // `file` stays open to the end, and so does `pin` below: while a file is open its inode
    // number cannot be given to another writer's new file, so comparing numbers is sound.
    if (!removeLines(bytes, name)) {
        return done(RegistryApi::NotFound);
    }
    // A writable directory alone would let the rename succeed; the file itself must be
    // writable too, as the registry would require of the key.
    if (files.faccessat(dirFd, base.c_str(), W_OK, AT_EACCESS) != 0) {
        return failed(errno);
    }

    TempFile temp(files, dirFd);
    if (!temp.create(base)) {
        return failed(errno);
    }
    struct stat mine {};
    if (files.fstat(temp.get(), &mine) != 0) {
        return failed(errno);
    }
    // Keep the owner where we may (root rewriting a user's file); chown clears set-id bits, so
    // the mode comes after it. Creating with 0600 kept the file private until now.
    if (mine.st_uid != before.st_uid || mine.st_gid != before.st_gid) {
        (void)files.fchown(temp.get(), before.st_uid, before.st_gid);
    }
    if (files.fchmod(temp.get(), before.st_mode & 07777) != 0 ||
        !writeAll(files, temp.get(), bytes) || files.fsync(temp.get()) != 0 || temp.close() != 0) {
        return failed(errno);
    }
    Fd pin(files, files.openat(dirFd, temp.path(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
    if (pin.get() < 0) {
        return failed(errno);
    }

    // Writing and flushing took a while: if the file changed meanwhile, start again before
    // anything becomes visible.
    waitForPuttyWrite(files, puttyTemp);
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
        return failed(errno);
    }
    if (!sameFile(before, current)) {
        return again();
    }
    // Exchange rather than rename: what lands under the temporary name is the file we
    // replaced, so a writer that slipped in since the look above is seen and put back.
    bool exchanged = false;
    if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE) == 0) {
        struct stat replaced {};
        bool ours = files.fstatat(dirFd, temp.path(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
                    sameFile(before, replaced);
        if (!ours) {
            // Put the other writer's file back, unless a third write has replaced ours already
            // (then theirs is superseded, like any PuTTY write, and ours is gone). When that
            // cannot be told, or the swap back fails, both files stay: the file under the
            // temporary name may hold another writer's keys.
            if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
                int error = errno;
                temp.release();
                return failed(error);
            }
            if (sameInode(current, mine) &&
                files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE) != 0) {
                int error = errno;
                temp.release();
                return failed(error);
            }
            // Ours was in place for a moment, and a writer may have copied it: the name found
            // gone on the next look was removed by this delete.
            Outcome redo = again();
            redo.replaced = true;
            return redo;
        }
        exchanged = true;
    } else {
        if (errno != EINVAL && errno != ENOSYS) {
            return failed(errno);
        }
        // No exchange on this file system: look once more, then a plain rename; only the gap
        // between the two is left unguarded.
        if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
            return failed(errno);
        }
        if (!sameFile(before, current)) {
            return again();
        }
        if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), 0) != 0) {
            return failed(errno);
        }
        temp.release();
    }

    // The rename is durable only once the directory is. When it cannot be made so, the
    // original (under the temporary name since the exchange) goes back, unless a writer has
    // replaced ours meanwhile; after a plain rename the original is gone already.
    if (files.fsync(dirFd) != 0 && errno != EINVAL) {
        const int error = errno;
        if (exchanged && files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameInode(current, mine)) {
            (void)files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RENAME_EXCHANGE);
        }
        return failed(error);
    }
    *written = parse(keyPath, std::move(bytes));
    // A PuTTY write that read the file just before our exchange renames after it: let it end,
    // and if our file is no longer the one there, look again.
    waitForPuttyWrite(files, puttyTemp);
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameInode(current, mine)) {
        Outcome redo = again();
        redo.replaced = true;
        return redo;
    }
    return done(RegistryApi::Success);
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<std::string> passwordHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == 0 && found && found->pw_dir) {
            return std::string(found->pw_dir);
        }
        return std::nullopt;
    }
}

} // namespace

std::string locateHostKeyFile(const HostKeyLocationInputs& in,
                              const std::function<bool(const std::string&)>& exists) {
    if (in.puttySshHostKeys) {
        return *in.puttySshHostKeys;
    }
    if (in.puttyDir) {
        return *in.puttyDir + "/sshhostkeys";
    }
    std::optional<std::string> xdg;
    if (in.xdgConfigHome && !in.xdgConfigHome->empty()) {
        xdg = *in.xdgConfigHome + "/putty";
    } else if (in.home) {
        xdg = *in.home + "/.config/putty";
    } else if (in.passwordHome) {
        xdg = *in.passwordHome + "/.config/putty";
    }
    if (xdg && exists(*xdg)) {
        return *xdg + "/sshhostkeys";
    }
    std::vector<std::string> older;
    if (in.home) {
        older.push_back(*in.home + "/.putty");
    }
    if (in.passwordHome) {
        older.push_back(*in.passwordHome + "/.putty");
    }
    older.push_back("/.putty");
    for (const std::string& dir : older) {
        if (exists(dir)) {
            return dir + "/sshhostkeys";
        }
    }
    return older.front() + "/sshhostkeys";
}

std::string locateHostKeyFile() {
    HostKeyLocationInputs in;
    in.puttySshHostKeys = environment("PUTTYSSHHOSTKEYS");
    in.puttyDir = environment("PUTTYDIR");
    if (!in.puttySshHostKeys && !in.puttyDir) {
        in.xdgConfigHome = environment("XDG_CONFIG_HOME");
        in.home = environment("HOME");
        in.passwordHome = passwordHome();
    }
    return locateHostKeyFile(
        in, [](const std::string& path) { return access(path.c_str(), F_OK) == 0; });
}

PosixFiles::~PosixFiles() = default;

int PosixFiles::openat(int dirFd, const char* path, int flags, mode_t mode) {
    return ::openat(dirFd, path, flags, mode);
}
ssize_t PosixFiles::read(int fd, void* buffer, std::size_t size) {
    return ::read(fd, buffer, size);
}
ssize_t PosixFiles::write(int fd, const void* buffer, std::size_t size) {
    return ::write(fd, buffer, size);
}
int PosixFiles::fstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}
int PosixFiles::fstatat(int dirFd, const char* path, struct stat* st, int flags) {
    return ::fstatat(dirFd, path, st, flags);
}
int PosixFiles::faccessat(int dirFd, const char* path, int mode, int flags) {
    return ::faccessat(dirFd, path, mode, flags);
}
int PosixFiles::fchown(int fd, uid_t owner, gid_t group) {
    return ::fchown(fd, owner, group);
}
int PosixFiles::fchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}
int PosixFiles::fsync(int fd) {
    return ::fsync(fd);
}
// Not retried on EINTR: the descriptor is gone either way.
int PosixFiles::close(int fd) {
    return ::close(fd);
}
int PosixFiles::flock(int fd, int operation) {
    return ::flock(fd, operation);
}
int PosixFiles::renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                          unsigned int flags) {
    return flags ? ::renameat2(oldDirFd, oldPath, newDirFd, newPath, flags)
                 : ::renameat(oldDirFd, oldPath, newDirFd, newPath);
}
int PosixFiles::unlinkat(int dirFd, const char* path, int flags) {
    return ::unlinkat(dirFd, path, flags);
}
std::optional<std::string> PosixFiles::realpath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::optional<std::string>(resolved.get()) : std::nullopt;
}

PosixFiles& systemFiles() {
    static PosixFiles files;
    return files;
}

RegistryApi::Status statusFromErrno(int error) {
    struct Row {
        int error;
        Status status;
    };
    static const Row table[] = {
        {ENOENT, 2},         // ERROR_FILE_NOT_FOUND
        {ENOTDIR, 2},        // a path component is a file: nothing there either
        {EACCES, 5},         // ERROR_ACCESS_DENIED
        {EPERM, 5},          //
        {EISDIR, 5},         //
        {EMFILE, 4},         // ERROR_TOO_MANY_OPEN_FILES
        {ENFILE, 4},         //
        {ENOMEM, 8},         // ERROR_NOT_ENOUGH_MEMORY
        {EROFS, 19},         // ERROR_WRITE_PROTECT
        {ENOSPC, 112},       // ERROR_DISK_FULL
        {EDQUOT, 112},       //
        {EBUSY, 170},        // ERROR_BUSY
        {ENAMETOOLONG, 206}, // ERROR_FILENAME_EXCED_RANGE
        {EFBIG, 223},        // ERROR_FILE_TOO_LARGE
        {EIO, 1117},         // ERROR_IO_DEVICE
        {ELOOP, 1921},       // ERROR_CANT_RESOLVE_FILENAME
    };
    for (const Row& row : table) {
        if (row.error == error) {
            return row.status;
        }
    }
    return 31; // ERROR_GEN_FAILURE
}

PosixHostKeyStore::PosixHostKeyStore(PosixFiles& calls) : files(calls), nextHandle(0x1000) {}

PosixHostKeyStore::~PosixHostKeyStore() = default;

std::shared_ptr<const Snapshot> PosixHostKeyStore::find(Handle key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    return it == keys.end() ? nullptr : it->second;
}

RegistryApi::Status PosixHostKeyStore::openFile(const std::string& path, Handle* result) {
    Fd file(files,
            files.openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    if (file.get() < 0) {
        return statusFromErrno(errno);
    }
    struct stat st {};
    std::string bytes;
    const Status status = readHostKeyFile(files, file.get(), st, bytes);
    if (status != Success) {
        return status;
    }
    auto snapshot = parse(path, std::move(bytes));
    std::lock_guard<std::mutex> lock(mutex);
    // Handles are never reused, so a closed one stays invalid.
    *result = nextHandle;
    nextHandle += 4;
    keys.emplace(*result, std::move(snapshot));
    return Success;
}

RegistryApi::Status PosixHostKeyStore::openKey(Handle parent, const char* subKey, Handle* result) {
    if (!result) {
        return InvalidParameter;
    }
    *result = NotOpen;
    const char* path = subKey ? subKey : "";
    if (isRoot(parent)) {
        if (parent != rootHandle(CurrentUserRoot) || !equalsIgnoringCase(path, CachePath)) {
            return NotFound;
        }
        return openFile(locateHostKeyFile(), result);
    }
    auto key = find(parent);
    if (!key) {
        return InvalidHandle;
    }
    // The cache key has no sub-keys; an empty path opens it again (and reads it again).
    if (*path) {
        return NotFound;
    }
    return openFile(key->path, result);
}

RegistryApi::Status PosixHostKeyStore::queryInfoKey(Handle key, std::uint32_t* subKeyCount,
                                                    std::uint32_t* maxSubKeyLength,
                                                    std::uint32_t* maxClassLength,
                                                    std::uint32_t* valueCount,
                                                    std::uint32_t* maxValueNameLength,
                                                    std::uint32_t* maxValueDataLength) {
    auto snapshot = find(key);
    if (!snapshot) {
        return InvalidHandle;
    }
    const std::pair<std::uint32_t*, std::uint32_t> outputs[] = {
        {subKeyCount, 0},
        {maxSubKeyLength, 0},
        {maxClassLength, 0},
        {valueCount, static_cast<std::uint32_t>(snapshot->values.size())},
        {maxValueNameLength, snapshot->maxNameLength},
        {maxValueDataLength, snapshot->maxDataSize},
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
    auto snapshot = find(key);
    if (!snapshot) {
        return InvalidHandle;
    }
    if (!name || !nameLength || (data && !dataSize)) {
        return InvalidParameter;
    }
    if (index >= snapshot->values.size()) {
        return NoMoreItems;
    }
    const Snapshot::Value& value = snapshot->values[index];
    const char* text = snapshot->bytes.data();
    // The buffer must hold the NUL too; a short one gets as much of the name as fits, the way
    // Wine's RegEnumValueA fills it.
    if (*nameLength <= value.nameLength) {
        if (*nameLength > 0) {
            std::memcpy(name, text + value.name, *nameLength - 1);
            name[*nameLength - 1] = '\0';
        }
        return MoreData;
    }
    std::uint32_t required = value.dataLength + 1;
    if (data && *dataSize < required) {
        *dataSize = required;
        return MoreData;
    }
    std::memcpy(name, text + value.name, value.nameLength);
    name[value.nameLength] = '\0';
    *nameLength = value.nameLength;
    if (type) {
        *type = RegSz;
    }
    if (data) {
        std::memcpy(data, text + value.data, value.dataLength);
        data[value.dataLength] = '\0';
    }
    if (dataSize) {
        *dataSize = required;
    }
    return Success;
}

RegistryApi::Status PosixHostKeyStore::deleteValue(Handle key, const char* name) {
    auto snapshot = find(key);
    if (!snapshot) {
        return InvalidHandle;
    }
    // No line has a name that is empty or holds a space or a line break.
    if (!name || !*name || std::strpbrk(name, " \n")) {
        return NotFound;
    }
    std::shared_ptr<const Snapshot> written;
    Status status = rewriteWithout(snapshot->path, name, &written);
    if (written) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = keys.find(key);
        if (it != keys.end()) {
            it->second = std::move(written);
        }
    }
    return status;
}

RegistryApi::Status PosixHostKeyStore::closeKey(Handle key) {
    if (isRoot(key)) {
        return Success;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return keys.erase(key) ? Success : InvalidHandle;
}

RegistryApi::Status PosixHostKeyStore::rewriteWithout(const std::string& path,
                                                      const std::string& name,
                                                      std::shared_ptr<const Snapshot>* written) {
    // Through a symbolic link to the file itself: the link stays a link.
    std::optional<std::string> resolved = files.realpath(path);
    if (!resolved) {
        return statusFromErrno(errno);
    }
    std::size_t slash = resolved->rfind('/');
    std::string dir = slash == 0 ? "/" : resolved->substr(0, slash);
    std::string base = resolved->substr(slash + 1);

    Fd dirFd(files, files.openat(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dirFd.get() < 0) {
        return statusFromErrno(errno);
    }
    // Serialises hkprune runs (held until dirFd closes). PuTTY takes no lock: its writes are
    // caught by the change check in deleteOnce, and so are another run's where no lock can be
    // had (NFS refuses an exclusive lock on a directory with EBADF): the delete goes on.
    while (files.flock(dirFd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    bool replaced = false;
    for (int attempt = 0; attempt < MaxDeleteAttempts; ++attempt) {
        Outcome outcome = deleteOnce(files, dirFd.get(), base, name, path, written);
        replaced = replaced || outcome.replaced;
        if (!outcome.retry) {
            // Looking again after our own replacement and finding the name gone is success.
            return replaced && outcome.status == NotFound ? Success : outcome.status;
        }
    }
    return SharingViolation;
}

} // namespace detail

RegistryApi& platformRegistryApi() {
    static detail::PosixHostKeyStore store;
    return store;
}

} // namespace PAL
