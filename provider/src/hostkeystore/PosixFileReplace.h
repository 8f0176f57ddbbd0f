// Replacing a file safely: a new file beside it with its owner and mode, flushed, then swapped
// in only while the old one is still what was read, and put back when that cannot be kept.
#ifndef HK_PROVIDER_SRC_POSIXFILEREPLACE_H
#define HK_PROVIDER_SRC_POSIXFILEREPLACE_H

#include "PosixFiles.h"

#include <sys/stat.h>

#include <string>

namespace PAL {
namespace detail {

// The change check: a writer replaces the file (new inode) or rewrites it in place (new size or
// time). The change time is left out: a rename changes it.
bool sameFile(const struct stat& a, const struct stat& b);
bool sameInode(const struct stat& a, const struct stat& b);

// The new file, created exclusively next to the one it replaces; removed on destruction
// unless it has been renamed into place (release), and when a signal whose default action ends
// the process ends it meanwhile (where the signal still has that action).
class TempFile {
public:
    TempFile(PosixFiles& calls, int directory);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Named <base><infix><unique suffix>, created with `mode` (less the umask); false with
    // errno.
    bool create(const std::string& base, const char* infix, mode_t mode = 0600);
    const char* path() const { return name.c_str(); }
    int get() const { return fd.get(); }
    int close() { return fd.close(); }
    // The file now lives on under another name (or must be kept): do not remove it.
    void release();
    // Whether a signal that ends the process removes the file (while it may hold another
    // writer's data, it must not).
    void removeOnSignal(bool remove);

private:
    PosixFiles& files;
    int dirFd;
    Fd fd;
    std::string name;
    int signalSlot; // where the signal handler finds the name; -1 for none
};

// One replacement of the file `base` in the directory `dirFd` (both held by the caller).
class Replacement {
public:
    Replacement(PosixFiles& calls, int directory, const std::string& fileName, const char* infix);

    // Creates the new file with the owner, mode and extended attributes of `original` (open
    // as `originalFd`), ready to be written through fd(); false with errno (EPERM when the
    // owner cannot be kept, or the directory would keep the new file for good).
    bool create(const struct stat& original, int originalFd);
    // Creates the new file for a name that has none yet, as PuTTY would: mode 0666 less the
    // umask (and a default ACL of the directory), owned by whoever runs this.
    bool createNew();
    // The same for another user: theirs, mode 0644 (0666 less the usual umask, as plink makes
    // it), never root's or readable by others on the way.
    bool createNewFor(uid_t uid, gid_t gid);
    int fd() const { return temp.get(); }
    // Flushes and closes the written file; false with errno.
    bool finish();
    // The new file's status once finished.
    const struct stat& written() const { return mine; }
    // The finished new file, open for reading at its start: the caller's to close.
    int releaseReadable() { return pin.release(); }

    enum class Swap {
        Done,         // the new file is in place
        Changed,      // the file had changed: nothing became visible
        ChangedAfter, // the file had changed, the new one was in place for a moment
        Failed,       // errno says why; both files may stay
    };
    // Puts the new file in place, unless the file is no longer `original`.
    Swap swapIn(const struct stat& original);
    // Gives the finished new file the file's name, unless something has that name by now
    // (Changed). Never replaces what is there.
    Swap linkIn();
    // Makes the swap durable; when it cannot be, puts the original back where it still can
    // (an exchange leaves it under the temporary name). False with errno.
    bool syncDirectory();
    // Whether the new file is still the one under the file's name.
    bool inPlace();

private:
    Swap lookAgain(const struct stat& original);
    Swap exchange(const struct stat& original);
    Swap rename(const struct stat& original);

    PosixFiles& files;
    int dirFd;
    const std::string& base;
    const char* infix;
    TempFile temp;
    Fd pin;
    struct stat mine {};
    bool exchanged = false;
};

} // namespace detail
} // namespace PAL

#endif // HK_PROVIDER_SRC_POSIXFILEREPLACE_H
