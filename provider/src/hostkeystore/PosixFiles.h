// The system calls of the host-key store, behind one seam so that tests can fail or interleave
// any of them, and the small helpers built on them.
#ifndef HK_PROVIDER_SRC_POSIXFILES_H
#define HK_PROVIDER_SRC_POSIXFILES_H

#include "PAL/RegistryApi.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace PAL {
namespace detail {

// Each behaves like the call it is named after: -1 (or none) and errno on failure.
class PosixFiles {
public:
    virtual ~PosixFiles();
    virtual int openat(int dirFd, const char* path, int flags, mode_t mode);
    virtual ssize_t read(int fd, void* buffer, std::size_t size);
    virtual ssize_t write(int fd, const void* buffer, std::size_t size);
    virtual int fstat(int fd, struct stat* st);
    virtual int fstatat(int dirFd, const char* path, struct stat* st, int flags);
    virtual int faccessat(int dirFd, const char* path, int mode, int flags);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int fchmod(int fd, mode_t mode);
    virtual int fsync(int fd);
    virtual int close(int fd);
    virtual int flock(int fd, int operation);
    // renameat2 with 0 (a plain renameat) or RenameExchange; -1 and EINVAL for an exchange
    // where the platform or the file system has none.
    virtual int renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                          unsigned int flags);
    virtual int unlinkat(int dirFd, const char* path, int flags);
    virtual int mkdirat(int dirFd, const char* path, mode_t mode);
    virtual int linkat(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                       int flags);
    // Extended attributes of an open file (a POSIX ACL is one): -1 and ENOTSUP where the file
    // system or the platform has none.
    virtual ssize_t flistxattr(int fd, char* list, std::size_t size);
    virtual ssize_t fgetxattr(int fd, const char* name, void* value, std::size_t size);
    virtual int fsetxattr(int fd, const char* name, const void* value, std::size_t size);
    virtual int fremovexattr(int fd, const char* name);
    // realpath(3): the path with every symbolic link resolved.
    virtual std::optional<std::string> realpath(const std::string& path);
    // ioctl(FS_IOC_GETFLAGS): the inode flags that chattr sets; -1 and ENOTTY where the file
    // system or the platform has none.
    virtual int ioctlGetFlags(int fd, unsigned* flags);
    virtual uid_t geteuid();
};

// Flags of PosixFiles::ioctlGetFlags (Linux's FS_APPEND_FL and FS_IMMUTABLE_FL): no name in
// such a directory can be removed or replaced.
constexpr unsigned AppendOnlyFlag = 0x20;
constexpr unsigned ImmutableFlag = 0x10;

// The flag of PosixFiles::renameat2 that swaps the two names atomically.
constexpr unsigned int RenameExchange = 2;
// Whether this build can exchange two names at all (Linux's RENAME_EXCHANGE).
bool renameExchangeBuilt();

// The real calls.
PosixFiles& systemFiles();

// The modification time of `st` (st_mtim on Linux and the BSDs, st_mtimespec on macOS).
struct timespec modificationTime(const struct stat& st);
// The status change time, which only the file system's clock sets (no call can set it back).
struct timespec changeTime(const struct stat& st);

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
    // The descriptor is now the caller's.
    int release() {
        const int released = fd;
        fd = -1;
        return released;
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

// Memory for a file's bytes, not cleared before the read fills it. A large one is anonymous
// memory aligned to 2 MiB and offered for transparent huge pages: a page fault and a page the
// kernel clears per 2 MiB instead of per 4 KiB.
class FileBuffer {
public:
    FileBuffer() = default;
    // Room for `capacity` bytes (or more), none in use; std::bad_alloc when there is no memory.
    explicit FileBuffer(std::size_t capacity);
    ~FileBuffer();
    FileBuffer(FileBuffer&& other) noexcept;
    FileBuffer& operator=(FileBuffer&& other) noexcept;
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

    char* data() { return bytes; }
    std::size_t capacity() const { return room; }
    std::size_t size() const { return used; }
    // The first `size` bytes (at most the capacity) are the contents.
    void resize(std::size_t size) { used = size; }
    std::string_view view() const { return {bytes, used}; }

private:
    void release() noexcept;

    char* bytes = nullptr;
    std::size_t room = 0;
    std::size_t used = 0;
    bool mapped = false; // munmap'ed, else freed
};

// Reads to the end of `fd`; `sizeHint` is the size expected. std::bad_alloc when the memory
// runs out.
bool readAll(PosixFiles& files, int fd, std::size_t sizeHint, FileBuffer& out);
// Writes every byte, repeating short and interrupted writes.
bool writeAll(PosixFiles& files, int fd, const char* bytes, std::size_t size);

// Gathers small writes into blocks; large ones go straight through.
class BufferedWriter {
public:
    BufferedWriter(PosixFiles& calls, int descriptor);
    bool write(const char* bytes, std::size_t size);
    bool flush();

private:
    PosixFiles& files;
    int fd;
    std::string buffer;
    std::size_t used = 0;
};

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXFILES_H
