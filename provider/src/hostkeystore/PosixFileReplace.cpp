// Replacing a file safely: temporary file, owner and mode, flush, exchange, directory sync.
#include "PosixFileReplace.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace PAL {
namespace detail {
namespace {

// --- Removing the temporary file when a signal ends the process ---------------------------

// Every signal whose default action ends the process (the core-dumping ones still dump core:
// the handler raises the signal again with that action).
const std::vector<int>& cleanupSignals() {
    static const std::vector<int> signals = [] {
        std::vector<int> list = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS,
                                 SIGFPE,  SIGUSR1, SIGSEGV, SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM,
                                 SIGXCPU, SIGXFSZ, SIGSYS,  SIGVTALRM, SIGPROF};
        // Linux's own (on the BSDs SIGIO is ignored, and the others do not exist).
        for (int extra : {
#ifdef SIGPOLL
                 SIGPOLL,
#endif
#ifdef SIGPWR
                 SIGPWR,
#endif
#ifdef SIGSTKFLT
                 SIGSTKFLT,
#endif
#ifdef SIGEMT
                 SIGEMT,
#endif
                 0}) {
            if (extra) {
                list.push_back(extra);
            }
        }
#ifdef SIGRTMIN
        for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
            list.push_back(signal);
        }
#endif
        return list;
    }();
    return signals;
}
enum SlotState { Free, Filling, Ready };

// What the handler may touch: fixed buffers and lock-free atomics only.
struct CleanupSlot {
    std::atomic<int> state{Free};
    int dirFd = -1;
    char name[256] = {};
};
CleanupSlot cleanupSlots[8];

void removeTemporaryFiles(int signal) {
    const int savedErrno = errno;
    for (CleanupSlot& slot : cleanupSlots) {
        if (slot.state.load() == Ready) {
            ::unlinkat(slot.dirFd, slot.name, 0);
        }
    }
    // SA_RESETHAND put the default action back (set again here: some systems keep the handler
    // for SIGILL and SIGTRAP): raised again, the signal ends the process the way it would
    // have, once this handler returns.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    errno = savedErrno;
    ::raise(signal);
}

std::mutex handlerMutex;
int handlerUsers = 0;
struct Replaced {
    int signal;
    struct sigaction previous;
};
std::vector<Replaced> replacedActions;

// Only signals that would end the process anyway get the handler; one that is ignored or
// handled already is left as it is.
void installHandlers() {
    std::lock_guard<std::mutex> lock(handlerMutex);
    if (handlerUsers > 0) {
        ++handlerUsers;
        return;
    }
    replacedActions.reserve(cleanupSignals().size()); // may throw: nothing counted yet
    ++handlerUsers;
    for (int signal : cleanupSignals()) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
            old.sa_handler == SIG_DFL) {
            struct sigaction action {};
            action.sa_handler = removeTemporaryFiles;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESETHAND;
            if (::sigaction(signal, &action, nullptr) == 0) {
                replacedActions.push_back({signal, old});
            }
        }
    }
}

void removeHandlers() {
    std::lock_guard<std::mutex> lock(handlerMutex);
    if (--handlerUsers > 0) {
        return;
    }
    for (const Replaced& replaced : replacedActions) {
        ::sigaction(replaced.signal, &replaced.previous, nullptr);
    }
    replacedActions.clear();
}

// A free slot, now Filling; -1 when all are taken (that file is then not cleaned up).
int takeSlot(int dirFd, const std::string& name) {
    if (name.size() >= sizeof cleanupSlots[0].name) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(sizeof cleanupSlots / sizeof cleanupSlots[0]); ++i) {
        int expected = Free;
        if (cleanupSlots[i].state.compare_exchange_strong(expected, Filling)) {
            cleanupSlots[i].dirFd = dirFd;
            std::memcpy(cleanupSlots[i].name, name.c_str(), name.size() + 1);
            return i;
        }
    }
    return -1;
}

// Blocks the cleanup signals in this thread for its lifetime: a file created under a name
// is registered before a handler could miss it.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : cleanupSignals()) {
            sigaddset(&set, signal);
        }
        pthread_sigmask(SIG_BLOCK, &set, &saved);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t saved;
};

// --- Extended attributes -------------------------------------------------------------------

bool isUnsupported(int error) {
    return error == ENOTSUP || error == ENOSYS;
}

// The NUL-terminated names of `fd`'s attributes, one after another; none where unsupported.
bool listAttributes(PosixFiles& files, int fd, std::string& names) {
    for (;;) {
        ssize_t size = files.flistxattr(fd, nullptr, 0);
        if (size < 0) {
            names.clear();
            return isUnsupported(errno);
        }
        names.assign(static_cast<std::size_t>(size), '\0');
        ssize_t got = size ? files.flistxattr(fd, &names[0], names.size()) : 0;
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) { // ERANGE: it grew meanwhile
            return false;
        }
    }
}

bool readAttribute(PosixFiles& files, int fd, const char* name, std::string& value) {
    for (;;) {
        ssize_t size = files.fgetxattr(fd, name, nullptr, 0);
        if (size < 0) {
            return false;
        }
        value.assign(static_cast<std::size_t>(size), '\0');
        ssize_t got = size ? files.fgetxattr(fd, name, &value[0], value.size()) : 0;
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            return false;
        }
    }
}

bool listed(const std::string& names, const char* name) {
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        if (std::strcmp(names.c_str() + at, name) == 0) {
            return true;
        }
    }
    return false;
}

// Gives `to` exactly the attributes of `from`: an ACL (system.posix_acl_access) says who may
// read the file, and one inherited from the directory's default ACL must not widen that.
bool copyAttributes(PosixFiles& files, int from, int to) {
    std::string names;
    std::string own;
    if (!listAttributes(files, from, names) || !listAttributes(files, to, own)) {
        return false;
    }
    std::string value;
    std::string existing;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char* name = names.c_str() + at;
        if (!readAttribute(files, from, name, value)) {
            return false;
        }
        // A label the system gave the new file already (security.*) need not be set again.
        if (listed(own, name) && readAttribute(files, to, name, existing) && existing == value) {
            continue;
        }
        if (files.fsetxattr(to, name, value.data(), value.size()) != 0) {
            return false;
        }
    }
    for (std::size_t at = 0; at < own.size(); at += std::strlen(own.c_str() + at) + 1) {
        if (!listed(names, own.c_str() + at) && files.fremovexattr(to, own.c_str() + at) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

bool sameFile(const struct stat& a, const struct stat& b) {
    const struct timespec at = modificationTime(a);
    const struct timespec bt = modificationTime(b);
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           at.tv_sec == bt.tv_sec && at.tv_nsec == bt.tv_nsec;
}

bool sameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

TempFile::TempFile(PosixFiles& calls, int directory)
    : files(calls), dirFd(directory), fd(calls, -1), signalSlot(-1) {
    installHandlers();
}

TempFile::~TempFile() {
    fd.close();
    if (!name.empty()) {
        files.unlinkat(dirFd, name.c_str(), 0);
    }
    release();
    removeHandlers();
}

void TempFile::release() {
    name.clear();
    removeOnSignal(false);
}

void TempFile::removeOnSignal(bool remove) {
    if (!remove && signalSlot >= 0) {
        cleanupSlots[signalSlot].state.store(Free);
        signalSlot = -1;
    } else if (remove && signalSlot < 0 && !name.empty()) {
        signalSlot = takeSlot(dirFd, name);
        if (signalSlot >= 0) {
            cleanupSlots[signalSlot].state.store(Ready);
        }
    }
}

bool TempFile::create(const std::string& base, const char* infix, mode_t mode) {
    static std::atomic<unsigned> counter{0};
    // Leaves room for the suffix within NAME_MAX (255).
    std::string stem = base.substr(0, 200) + infix;
    for (int tries = 0; tries < 100; ++tries) {
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, "%ld-%u-%llx", static_cast<long>(getpid()), counter++,
                      static_cast<unsigned long long>(ticks) & 0xffffffULL);
        std::string candidate = stem + suffix;
        SignalsBlocked blocked;
        const int slot = takeSlot(dirFd, candidate);
        int created = files.openat(dirFd, candidate.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (created >= 0) {
            name = candidate;
            fd.reset(created);
            if (slot >= 0) {
                cleanupSlots[slot].state.store(Ready);
                signalSlot = slot;
            }
            return true;
        }
        const int error = errno;
        if (slot >= 0) {
            cleanupSlots[slot].state.store(Free);
        }
        if (error != EEXIST) {
            errno = error;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

Replacement::Replacement(PosixFiles& calls, int directory, const std::string& fileName,
                         const char* tempInfix)
    : files(calls), dirFd(directory), base(fileName), infix(tempInfix), temp(calls, directory),
      pin(calls, -1) {}

bool Replacement::create(const struct stat& original, int originalFd) {
    // In an append-only directory the new file could be neither swapped in nor removed again.
    unsigned flags = 0;
    if (files.ioctlGetFlags(dirFd, &flags) == 0 && (flags & (AppendOnlyFlag | ImmutableFlag))) {
        errno = EPERM;
        return false;
    }
    if (!temp.create(base, infix) || files.fstat(temp.get(), &mine) != 0) {
        return false;
    }
    // Only root may give a file away: anyone else's delete would change the file's owner or
    // group, so it fails. chown clears set-id bits, so the mode comes after it. Creating with
    // 0600 kept the file private until now.
    if ((mine.st_uid != original.st_uid || mine.st_gid != original.st_gid) &&
        files.fchown(temp.get(), original.st_uid, original.st_gid) != 0) {
        return false;
    }
    return files.fchmod(temp.get(), original.st_mode & 07777) == 0 &&
           copyAttributes(files, originalFd, temp.get());
}

bool Replacement::createNew() {
    return temp.create(base, infix, 0666) && files.fstat(temp.get(), &mine) == 0;
}

bool Replacement::createNewFor(uid_t uid, gid_t gid) {
    return temp.create(base, infix) && files.fchown(temp.get(), uid, gid) == 0 &&
           files.fchmod(temp.get(), 0644) == 0 && files.fstat(temp.get(), &mine) == 0;
}

bool Replacement::finish() {
    if (files.fsync(temp.get()) != 0 || temp.close() != 0) {
        return false;
    }
    // Kept open to the end, like the original by the caller: while a file is open its inode
    // number cannot be given to another writer's new file, so comparing numbers is sound.
    pin.reset(files.openat(dirFd, temp.path(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
    return pin.get() >= 0 && files.fstat(pin.get(), &mine) == 0;
}

// Looks at the file in place once more: Done while it is still the original.
Replacement::Swap Replacement::lookAgain(const struct stat& original) {
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
        return Swap::Failed;
    }
    return sameFile(original, current) ? Swap::Done : Swap::Changed;
}

Replacement::Swap Replacement::swapIn(const struct stat& original) {
    const Swap look = lookAgain(original);
    if (look != Swap::Done) {
        return look;
    }
    // Exchange rather than rename: what lands under the temporary name is the file we
    // replaced, so a writer that slipped in since the look above is seen and put back.
    temp.removeOnSignal(false);
    if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RenameExchange) == 0) {
        return exchange(original);
    }
    const int error = errno;
    temp.removeOnSignal(true);
    if (error != EINVAL && error != ENOSYS) {
        errno = error;
        return Swap::Failed;
    }
    return rename(original);
}

Replacement::Swap Replacement::exchange(const struct stat& original) {
    struct stat replaced {};
    if (files.fstatat(dirFd, temp.path(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(original, replaced)) {
        exchanged = true;
        temp.removeOnSignal(true); // the original: replaced for good
        return Swap::Done;
    }
    // Put the other writer's file back, unless a third write has replaced ours already (then
    // theirs is superseded, like any PuTTY write, and ours is gone). When that cannot be told,
    // or the swap back fails, both files stay: the file under the temporary name may hold
    // another writer's keys.
    struct stat current {};
    if (files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 ||
        (sameInode(current, mine) &&
         files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RenameExchange) != 0)) {
        const int error = errno;
        temp.release();
        errno = error;
        return Swap::Failed;
    }
    temp.removeOnSignal(true); // ours, or a write that a third one superseded
    return Swap::ChangedAfter;
}

// No exchange on this file system: look once more, then a plain rename; only the gap between
// the two is left unguarded.
Replacement::Swap Replacement::rename(const struct stat& original) {
    const Swap look = lookAgain(original);
    if (look != Swap::Done) {
        return look;
    }
    if (files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), 0) != 0) {
        return Swap::Failed;
    }
    temp.release();
    return Swap::Done;
}

Replacement::Swap Replacement::linkIn() {
    // A link, unlike a rename, fails where the name exists: another writer's new file stays.
    if (files.linkat(dirFd, temp.path(), dirFd, base.c_str(), 0) != 0) {
        return errno == EEXIST ? Swap::Changed : Swap::Failed;
    }
    // The second name goes before the directory is synced, so that it does not outlive a crash.
    if (files.unlinkat(dirFd, temp.path(), 0) == 0) {
        temp.release();
    }
    return Swap::Done;
}

bool Replacement::syncDirectory() {
    if (files.fsync(dirFd) == 0 || errno == EINVAL) {
        return true;
    }
    // After a plain rename the original is gone already.
    const int error = errno;
    struct stat current {};
    if (exchanged && files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameInode(current, mine)) {
        (void)files.renameat2(dirFd, temp.path(), dirFd, base.c_str(), RenameExchange);
    }
    errno = error;
    return false;
}

bool Replacement::inPlace() {
    struct stat current {};
    return files.fstatat(dirFd, base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameInode(current, mine);
}

} // namespace detail
} // namespace PAL
