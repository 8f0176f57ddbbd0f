// Internals of the POSIX registry backend, visible to its tests: where PuTTY for Unix keeps its
// host keys, the system calls the store makes (replaceable, to inject failures), the store.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H

#include "PAL/RegistryApi.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace PAL {
namespace detail {

// What PuTTY 0.78 consults to find its host-key file. A variable that is set but empty counts
// as set, except XDG_CONFIG_HOME.
struct HostKeyLocationInputs {
    std::optional<std::string> puttySshHostKeys; // PUTTYSSHHOSTKEYS
    std::optional<std::string> puttyDir;         // PUTTYDIR
    std::optional<std::string> xdgConfigHome;    // XDG_CONFIG_HOME
    std::optional<std::string> home;             // HOME
    std::optional<std::string> passwordHome;     // the user's home in the password database
};

// The host-key file PuTTY 0.78 would use; `exists` answers access(path, F_OK).
std::string locateHostKeyFile(const HostKeyLocationInputs& inputs,
                              const std::function<bool(const std::string&)>& exists);
// The same for this process: its environment, its user, its file system.
std::string locateHostKeyFile();

// The system calls the store makes, one virtual each so that tests can fail or interleave any
// step. Each behaves like the call it is named after: -1 (or none) and errno on failure.
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
    // renameat2; flags 0 is a plain renameat.
    virtual int renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                          unsigned int flags);
    virtual int unlinkat(int dirFd, const char* path, int flags);
    // realpath(3): the path with every symbolic link resolved.
    virtual std::optional<std::string> realpath(const std::string& path);
};

// The real calls.
PosixFiles& systemFiles();

// Windows status for an errno value (ENOENT 2, EACCES 5, ENOSPC 112 ...).
RegistryApi::Status statusFromErrno(int error);

// The current user's cache key is PuTTY for Unix's host-key file, one value a line; no other
// key exists. Each open key reads the file once; a delete rewrites it (see deleteValue).
class PosixHostKeyStore final : public RegistryApi {
public:
    // Windows statuses of this backend beyond the common ones.
    static constexpr Status InvalidParameter = 87; // ERROR_INVALID_PARAMETER
    static constexpr Status SharingViolation = 32; // ERROR_SHARING_VIOLATION
    // A delete that keeps finding the file changed by another writer gives up after this many
    // attempts with SharingViolation.
    static constexpr int MaxDeleteAttempts = 16;
    // The sub-key of HKEY_CURRENT_USER that is the host-key file.
    static constexpr const char* CachePath = "Software\\SimonTatham\\PuTTY\\SshHostKeys";
    // Temporary files are named <file name><TempInfix><random>.
    static constexpr const char* TempInfix = ".hkprune-";

    explicit PosixHostKeyStore(PosixFiles& calls = systemFiles());
    ~PosixHostKeyStore() override;
    PosixHostKeyStore(const PosixHostKeyStore&) = delete;
    PosixHostKeyStore& operator=(const PosixHostKeyStore&) = delete;

    Status openKey(Handle parent, const char* subKey, Handle* result) override;
    Status queryInfoKey(Handle key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLength,
                        std::uint32_t* maxClassLength, std::uint32_t* valueCount,
                        std::uint32_t* maxValueNameLength,
                        std::uint32_t* maxValueDataLength) override;
    // Values are REG_SZ; a value's data is the rest of its line after the first space.
    Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) override;
    // Removes every line whose name equals `name` byte for byte: reads the file again, writes
    // the rest of it to a new file and swaps that in. Other hkprune runs wait on a lock on the
    // directory where the file system has one; PuTTY's own writes (which take no lock) are
    // waited for or detected, and the delete redone. The key's own view then shows the file as
    // written.
    Status deleteValue(Handle key, const char* name) override;
    Status closeKey(Handle key) override;

    struct Snapshot;

private:
    std::shared_ptr<const Snapshot> find(Handle key);
    Status openFile(const std::string& path, Handle* result);
    Status rewriteWithout(const std::string& path, const std::string& name,
                          std::shared_ptr<const Snapshot>* written);

    PosixFiles& files;
    std::mutex mutex;
    std::map<Handle, std::shared_ptr<const Snapshot>> keys;
    Handle nextHandle;
};

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H
