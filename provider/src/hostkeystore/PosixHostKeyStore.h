// The POSIX registry backend, visible to its tests: the current user's host-key cache is PuTTY
// for Unix's host-key file. Where the file is, the seam its system calls go through and the
// rewrite protocol have headers of their own, included here for the tests.
#ifndef HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H
#define HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H

#include "PAL/RegistryApi.h"
#include "PosixFiles.h"
#include "PosixHostKeyFormat.h"
#include "PosixHostKeyLocation.h"
#include "PosixRewrite.h"
#include "PosixUserFile.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace PAL {
namespace detail {

// The current user's cache key (named by the program, PAL/PuttyCache.h; NotReady for every
// root's key until it is) is PuTTY for Unix's host-key file, one value a line; no other key
// exists. Each open key reads the file once; a
// delete, a set or a batch of both rewrites it (see deleteValue).
class PosixHostKeyStore final : public RegistryApi {
public:
    static constexpr int MaxDeleteAttempts = MaxRewriteAttempts;
    static constexpr const char* TempInfix = RewriteTempInfix;

    explicit PosixHostKeyStore(PosixFiles& calls = systemFiles());
    ~PosixHostKeyStore() override;
    PosixHostKeyStore(const PosixHostKeyStore&) = delete;
    PosixHostKeyStore& operator=(const PosixHostKeyStore&) = delete;

    Status openKey(Handle parent, const char* subKey, Handle* result) override;
    // As openKey, except that where the file (or its directory) is missing the key is there
    // with no values, and its first change that stores a value makes the file (mode 0666 less
    // the umask) and, if need be, its directory (0700; that one level only), never through a
    // link. A file another writer makes meanwhile is changed as it is, never replaced.
    Status createKey(Handle parent, const char* subKey, Handle* result) override;
    Status queryInfoKey(Handle key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLength,
                        std::uint32_t* maxClassLength, std::uint32_t* valueCount,
                        std::uint32_t* maxValueNameLength, std::uint32_t* maxValueDataLength,
                        std::uint64_t* lastWriteTime) override;
    // Values are REG_SZ; a value's data is the rest of its line after the first space.
    Status enumValue(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, unsigned char* data, std::uint32_t* dataSize) override;
    // No key of this store has sub-keys: 259 for any open key or root.
    Status enumKey(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength) override;
    // Removes every line whose name equals `name` byte for byte: writes the rest of the file
    // (as the key read it, or read again if it changed since) to a new file with the old one's
    // owner, mode and extended attributes, and swaps that in. Other hkprune runs wait on a lock
    // on the directory where the file system has one, someone else's lock two seconds at most
    // (then SharingViolation); PuTTY's own writes (which take no lock) are waited for or
    // detected, and the delete redone. The key's own view then shows the file as written.
    // NotEnoughMemory where memory runs out, with no temporary file left behind.
    Status deleteValue(Handle key, const char* name) override;
    // Adds the line `name data` (REG_SZ only; the data's terminating NUL is not written), or
    // gives every line named `name` that data, in one rewrite with everything a delete does.
    // InvalidParameter for what a line cannot hold: an empty name, a space in the name, a line
    // break or NUL in either.
    Status setValue(Handle key, const char* name, std::uint32_t type, const unsigned char* data,
                    std::uint32_t size) override;
    // The whole batch in one rewrite, or nothing: *applied is then every change, or 0. Names
    // no line can have are refused (InvalidParameter) before anything is done.
    Status applyChanges(Handle key, const std::vector<std::string>& removals,
                        const ValueSource& sets, std::size_t* applied) override;
    using RegistryApi::applyChanges;
    Status closeKey(Handle key) override;
    // Each open key reads the file once.
    bool keysAreSnapshots() const override { return true; }
    // openUserHostKeyFile and openUserHostKeyDirectory (PAL/HostKeyFile.h) on this store.
    Status openUserFile(const std::string& home, uid_t uid, gid_t gid, bool create, Handle* result,
                        std::string* reason);
    int openUserDirectory(Handle key, std::string* reason);

private:
    std::shared_ptr<const Snapshot> find(Handle key);
    // The key's view, read first where it is a file this store wrote and has not read yet.
    Status load(Handle key, std::shared_ptr<const Snapshot>& view);
    // openKey and createKey: the checks and the memory that runs out, then openFound.
    Status openPath(Handle parent, const char* subKey, bool create, Handle* result);
    Status openFound(Handle parent, const char* subKey, bool create, Handle* result);
    Status openFile(const std::string& path, bool create, Handle* result);
    static std::shared_ptr<Snapshot> missingFile(const std::string& path);
    Status readOpened(int fd, const std::string& path, std::shared_ptr<const CheckedPlace> place,
                      Handle* result);
    Status addKey(std::shared_ptr<const Snapshot> view, Handle* result);
    // Makes the change and puts the new view in the key's place.
    Status rewrite(Handle key, const Change& change);

    // What a handle shows, and where its listing got to.
    struct OpenKey {
        std::shared_ptr<const Snapshot> view;
        ValueCursor cursor;
    };
    // load() with the mutex held.
    Status loadHeld(OpenKey& key);

    PosixFiles& files;
    std::mutex mutex;
    std::map<Handle, OpenKey> keys;
    Handle nextHandle;
};

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXHOSTKEYSTORE_H
