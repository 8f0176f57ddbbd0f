// The real system calls behind the host-key store's seam.
#include "PosixFiles.h"

#include "PAL/UniqueHandle.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#if HKPRUNE_HAVE_FS_IOC_GETFLAGS
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if HKPRUNE_HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace PAL {
namespace detail {

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
#if HKPRUNE_HAVE_RENAME_EXCHANGE
static_assert(RenameExchange == RENAME_EXCHANGE, "the seam passes the flag through");
bool renameExchangeBuilt() {
    return true;
}
int PosixFiles::renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                          unsigned int flags) {
    return flags ? ::renameat2(oldDirFd, oldPath, newDirFd, newPath, flags)
                 : ::renameat(oldDirFd, oldPath, newDirFd, newPath);
}
#else
// The store then renames, after one more look at the file.
bool renameExchangeBuilt() {
    return false;
}
int PosixFiles::renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                          unsigned int flags) {
    if (flags) {
        errno = EINVAL;
        return -1;
    }
    return ::renameat(oldDirFd, oldPath, newDirFd, newPath);
}
#endif
int PosixFiles::unlinkat(int dirFd, const char* path, int flags) {
    return ::unlinkat(dirFd, path, flags);
}
int PosixFiles::mkdirat(int dirFd, const char* path, mode_t mode) {
    return ::mkdirat(dirFd, path, mode);
}
int PosixFiles::linkat(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                       int flags) {
    return ::linkat(oldDirFd, oldPath, newDirFd, newPath, flags);
}
#if HKPRUNE_HAVE_LINUX_XATTR
ssize_t PosixFiles::flistxattr(int fd, char* list, std::size_t size) {
    return ::flistxattr(fd, list, size);
}
ssize_t PosixFiles::fgetxattr(int fd, const char* name, void* value, std::size_t size) {
    return ::fgetxattr(fd, name, value, size);
}
int PosixFiles::fsetxattr(int fd, const char* name, const void* value, std::size_t size) {
    return ::fsetxattr(fd, name, value, size, 0);
}
int PosixFiles::fremovexattr(int fd, const char* name) {
    return ::fremovexattr(fd, name);
}
#else
// macOS and the BSDs name and shape these calls differently; there the attributes are not
// carried over (as before, and as PuTTY's own writes do everywhere).
ssize_t PosixFiles::flistxattr(int, char*, std::size_t) {
    errno = ENOTSUP;
    return -1;
}
ssize_t PosixFiles::fgetxattr(int, const char*, void*, std::size_t) {
    errno = ENOTSUP;
    return -1;
}
int PosixFiles::fsetxattr(int, const char*, const void*, std::size_t) {
    errno = ENOTSUP;
    return -1;
}
int PosixFiles::fremovexattr(int, const char*) {
    errno = ENOTSUP;
    return -1;
}
#endif
std::optional<std::string> PosixFiles::realpath(const std::string& path) {
    const UniquePointer<char*, std::free> resolved(::realpath(path.c_str(), nullptr));
    return resolved ? std::optional<std::string>(resolved.get()) : std::nullopt;
}

#if HKPRUNE_HAVE_FS_IOC_GETFLAGS
static_assert(AppendOnlyFlag == FS_APPEND_FL && ImmutableFlag == FS_IMMUTABLE_FL,
              "the seam passes the flags through");
int PosixFiles::ioctlGetFlags(int fd, unsigned* flags) {
    int value = 0; // the kernel reads and writes an int, whatever the request's type says
    if (::ioctl(fd, FS_IOC_GETFLAGS, &value) != 0) {
        return -1;
    }
    *flags = static_cast<unsigned>(value);
    return 0;
}
#else
// The BSDs keep such flags in st_flags under other names; not looked at there.
int PosixFiles::ioctlGetFlags(int, unsigned*) {
    errno = ENOTTY;
    return -1;
}
#endif

uid_t PosixFiles::geteuid() {
    return ::geteuid();
}

PosixFiles& systemFiles() {
    static PosixFiles files;
    return files;
}

struct timespec modificationTime(const struct stat& st) {
#if HKPRUNE_HAVE_ST_MTIMESPEC
    return st.st_mtimespec;
#else
    return st.st_mtim;
#endif
}

struct timespec changeTime(const struct stat& st) {
#if HKPRUNE_HAVE_ST_MTIMESPEC
    return st.st_ctimespec;
#else
    return st.st_ctim;
#endif
}

namespace {

// The size of a transparent huge page on x86-64 and of most arm64 kernels; elsewhere an
// alignment that costs nothing but address space.
constexpr std::size_t HugePage = std::size_t{2} << 20;

// Anonymous memory of `length` bytes (a multiple of HugePage) aligned to HugePage: mapped with
// one huge page to spare, the ends outside the aligned part unmapped.
char* mapAligned(std::size_t length) {
    void* base = ::mmap(nullptr, length + HugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    const std::size_t head = (HugePage - start % HugePage) % HugePage;
    char* aligned = static_cast<char*>(base) + head;
    if (head) {
        ::munmap(base, head);
    }
    ::munmap(aligned + length, HugePage - head);
#if HKPRUNE_HAVE_MADV_HUGEPAGE
    // Only a hint: refused where the kernel has no huge pages, and then small pages serve.
    ::madvise(aligned, length, MADV_HUGEPAGE);
#endif
    return aligned;
}

} // namespace

FileBuffer::FileBuffer(std::size_t capacity) {
    if (capacity > SIZE_MAX - 2 * HugePage) {
        throw std::bad_alloc();
    }
    if (capacity < HugePage) {
        // malloc leaves the bytes as they are, unlike std::string or make_unique.
        bytes = static_cast<char*>(std::malloc(capacity ? capacity : 1));
        if (!bytes) {
            throw std::bad_alloc();
        }
        room = capacity;
        return;
    }
    room = (capacity + HugePage - 1) / HugePage * HugePage;
    bytes = mapAligned(room);
    mapped = true;
}

FileBuffer::~FileBuffer() {
    release();
}

FileBuffer::FileBuffer(FileBuffer&& other) noexcept
    : bytes(std::exchange(other.bytes, nullptr)), room(std::exchange(other.room, 0)),
      used(std::exchange(other.used, 0)), mapped(std::exchange(other.mapped, false)) {}

FileBuffer& FileBuffer::operator=(FileBuffer&& other) noexcept {
    if (this != &other) {
        release();
        bytes = std::exchange(other.bytes, nullptr);
        room = std::exchange(other.room, 0);
        used = std::exchange(other.used, 0);
        mapped = std::exchange(other.mapped, false);
    }
    return *this;
}

void FileBuffer::release() noexcept {
    if (mapped) {
        ::munmap(bytes, room);
    } else {
        std::free(bytes);
    }
    bytes = nullptr;
    room = used = 0;
    mapped = false;
}

bool readAll(PosixFiles& files, int fd, std::size_t sizeHint, FileBuffer& out) {
    // One byte more than expected, so that the end is found without growing.
    FileBuffer buffer(std::max<std::size_t>(sizeHint + 1, 4096));
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.capacity()) {
            // The file grew while being read.
            if (buffer.capacity() > SIZE_MAX / 2) {
                throw std::bad_alloc();
            }
            FileBuffer larger(buffer.capacity() * 2);
            std::memcpy(larger.data(), buffer.data(), used);
            buffer = std::move(larger);
        }
        ssize_t n = files.read(fd, buffer.data() + used, buffer.capacity() - used);
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
    buffer.resize(used);
    out = std::move(buffer);
    return true;
}

bool writeAll(PosixFiles& files, int fd, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = files.write(fd, bytes + done, size - done);
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

BufferedWriter::BufferedWriter(PosixFiles& calls, int descriptor)
    : files(calls), fd(descriptor), buffer(64 * 1024, '\0') {}

bool BufferedWriter::write(const char* bytes, std::size_t size) {
    if (used + size > buffer.size() && !flush()) {
        return false;
    }
    if (size >= buffer.size()) {
        return writeAll(files, fd, bytes, size);
    }
    std::memcpy(&buffer[used], bytes, size);
    used += size;
    return true;
}

bool BufferedWriter::flush() {
    const std::size_t size = used;
    used = 0;
    return writeAll(files, fd, buffer.data(), size);
}

} // namespace detail
} // namespace PAL
