// POSIX registry backend: the current user's host-key cache is PuTTY for Unix's host-key file.
// The store's registry calls, and the attempts of a delete against other writers.
#include "PosixHostKeyStore.h"

#include "PAL/HostKeyFile.h"

#include "PosixFileReplace.h"
#include "PosixHostKeyFormat.h"
#include "PosixUserFile.h"

#include "PAL/LogUtil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace PAL {
namespace detail {

// What an open key shows: the file as it was read, less the lines this store has deleted
// since (a delete that finds the file unchanged writes from the same bytes).
struct PosixHostKeyStore::Snapshot {
    std::string path; // the location the key was opened at, symbolic links unresolved
    std::shared_ptr<const FileBuffer> bytes;
    std::vector<std::string> removed;
    struct stat file {}; // the file that holds bytes less removed
    std::size_t nulFreeUntil = 0;
    bool creatable = false; // no file was there for createKey: the first change makes it
    // Another user's file: found by a checked walk, changed only relative to its directory.
    std::shared_ptr<const CheckedPlace> place;

    HostKeyText text() const { return {bytes->view(), removed, nulFreeUntil}; }
    // Counted when first asked for: the key a rewrite leaves is often closed unlisted.
    const ValueSummary& summary() const {
        std::call_once(summarized, [this] { counted = summarize(text()); });
        return counted;
    }

private:
    mutable std::once_flag summarized;
    mutable ValueSummary counted;
};

// What one rewrite is asked to do.
struct PosixHostKeyStore::Change {
    const ValueBatch& batch;
    // A delete's name, which must be there (NotFound otherwise); none for a batch.
    const char* required;
};

namespace {

using Status = RegistryApi::Status;
using Snapshot = PosixHostKeyStore::Snapshot;
using Change = PosixHostKeyStore::Change;
using ValueText = RegistryApi::ValueText;

constexpr Status FileTooLarge = 223; // ERROR_FILE_TOO_LARGE
// Lengths and counts in the registry calls are 32-bit.
constexpr std::size_t MaxFileSize = 0xFFFFFFFFu;
constexpr std::uint32_t CurrentUserRoot = 0x80000001;

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

// The status of an open host-key file, refused when it is nothing PuTTY could have written.
Status statHostKeyFile(PosixFiles& files, int fd, struct stat& st) {
    if (files.fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    // A directory, a device or a pipe is nothing PuTTY could have written.
    if (!S_ISREG(st.st_mode)) {
        return RegistryApi::AccessDenied;
    }
    // Refused before reading, so that a huge file costs no memory; checked again after, in
    // case it grew meanwhile.
    return static_cast<std::uint64_t>(st.st_size) >= MaxFileSize ? FileTooLarge
                                                                 : RegistryApi::Success;
}

Status readContents(PosixFiles& files, int fd, const struct stat& st, FileBuffer& bytes) {
    if (!readAll(files, fd, static_cast<std::size_t>(st.st_size), bytes)) {
        return statusFromErrno(errno);
    }
    return bytes.size() >= MaxFileSize ? FileTooLarge : RegistryApi::Success;
}

// Reads an open host-key file whole; `st` is its status before the read.
Status readHostKeyFile(PosixFiles& files, int fd, struct stat& st, FileBuffer& bytes) {
    const Status status = statHostKeyFile(files, fd, st);
    return status == RegistryApi::Success ? readContents(files, fd, st, bytes) : status;
}

// Writes what the file keeps without the removed lines, in blocks, straight from the bytes.
bool writeKept(PosixFiles& files, int fd, const HostKeyText& text, const ValueBatch& batch) {
    BufferedWriter out(files, fd);
    return forEachKeptRun(text, batch,
                          [&](std::size_t begin, std::size_t size) {
                              return out.write(text.bytes.data() + begin, size);
                          }) &&
           out.flush();
}

// The file's new contents once a batch with sets is applied: measured, then copied, so that
// one that would not fit is refused before any memory is taken for it.
Status compose(const HostKeyText& text, const ValueBatch& batch,
               std::shared_ptr<FileBuffer>& composed) {
    std::size_t size = 0;
    forEachChangedPiece(text, batch, [&size](const char*, std::size_t piece) {
        size += piece;
        return size < MaxFileSize;
    });
    if (size >= MaxFileSize) {
        return FileTooLarge;
    }
    auto out = std::make_shared<FileBuffer>(size);
    std::size_t used = 0;
    forEachChangedPiece(text, batch, [&out, &used](const char* bytes, std::size_t piece) {
        std::memcpy(out->data() + used, bytes, piece);
        used += piece;
        return true;
    });
    out->resize(used);
    composed = std::move(out);
    return RegistryApi::Success;
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

// The names a batch changes, for the log.
std::string namesOf(const ValueBatch& batch) {
    std::string names;
    for (const std::string& name : batch.removals()) {
        names += (names.empty() ? "<" : ", <") + name + ">";
    }
    for (const ValueText& set : batch.sets()) {
        names += (names.empty() ? "<" : ", <") + set.name + ">";
    }
    return names;
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
// may be under way whose rename would undo a delete made meanwhile; a .tmp that nobody has
// written to for two seconds was left by a writer that died.
struct PuttyTemp {
    bool present = false;
    bool known = false; // its status could be read
    struct stat st {};
};

// A name the store looks at: the configured path with links followed (AT_FDCWD), or a name
// in another user's checked directory, nothing followed (-1 while that has yet to be made).
struct Named {
    int dirFd;
    std::string name;
};

int statAt(PosixFiles& files, const Named& at, struct stat* st) {
    if (at.dirFd == -1) {
        errno = ENOENT;
        return -1;
    }
    return files.fstatat(at.dirFd, at.name.c_str(), st,
                         at.dirFd == AT_FDCWD ? 0 : AT_SYMLINK_NOFOLLOW);
}

PuttyTemp lookAtPuttyTemp(PosixFiles& files, const Named& path) {
    PuttyTemp look;
    look.known = statAt(files, path, &look.st) == 0;
    look.present = look.known || errno != ENOENT;
    return look;
}

bool sameTimes(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// `time` is more than two seconds before `now`.
bool twoSecondsBefore(const struct timespec& time, const struct timespec& now) {
    constexpr time_t limit = 2;
    return time.tv_sec < now.tv_sec - limit ||
           (time.tv_sec == now.tv_sec - limit && time.tv_nsec < now.tv_nsec);
}

// Dead: there as the delete began and unchanged since (an update would change the change time
// too, which no call can set back), and not written for two seconds by the clock of its own
// file system, read from the time that file system gave our new file (`ours`) just now. The
// machine's own clock says nothing about a file server's.
bool shownDead(const PuttyTemp& first, const PuttyTemp& now, const struct stat& ours) {
    return first.known && now.known && sameFile(first.st, now.st) &&
           sameTimes(changeTime(first.st), changeTime(now.st)) && now.st.st_dev == ours.st_dev &&
           twoSecondsBefore(modificationTime(now.st), modificationTime(ours));
}

// Whether a .tmp stands that is not shown dead; if so, waits two seconds at most for it to go.
// True when one still stands.
bool puttyWriteUnderWay(PosixFiles& files, const Named& path, const PuttyTemp& first,
                        const struct stat& ours) {
    constexpr auto limit = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    PuttyTemp now = lookAtPuttyTemp(files, path);
    if (!now.present || shownDead(first, now, ours)) {
        return false;
    }
    while (std::chrono::steady_clock::now() - start < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!lookAtPuttyTemp(files, path).present) {
            return false;
        }
    }
    return true;
}

// Serialises hkprune runs on the directory (held until `dirFd` closes). Someone else's lock
// (a reader, a stopped run) is waited for two seconds at most: false then. PuTTY takes no
// lock: its writes are caught by the change checks, and so are another run's where no lock
// can be had (NFS refuses an exclusive lock on a directory with EBADF): the delete goes on.
bool lockDirectory(PosixFiles& files, int dirFd) {
    constexpr auto limit = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (files.flock(dirFd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return true;
        }
        if (std::chrono::steady_clock::now() - start >= limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Whether the configured path, links followed, names `written`: PuTTY's own write replaces a
// link at the path with a regular file, and then the file this delete changed is an orphan.
bool pathNames(PosixFiles& files, const Named& keyPath, const struct stat& written) {
    struct stat st {};
    return statAt(files, keyPath, &st) == 0 && sameInode(st, written);
}

Outcome againAfterReplacing() {
    Outcome redo = again();
    redo.replaced = true;
    return redo;
}

// What a delete knows of PuTTY's <file>.tmp.
struct PuttyWrites {
    Named path;
    PuttyTemp first; // as the delete began
};

// Makes the swap visible for good, or says why not; nothing here throws, so that the report
// always follows a swap.
Outcome completeSwap(PosixFiles& files, Replacement& replacement, const Named& keyPath,
                     const PuttyWrites& putty, const Change& change,
                     std::shared_ptr<const Snapshot>& prepared,
                     std::shared_ptr<const Snapshot>* written) {
    if (!replacement.syncDirectory()) {
        return failed(errno);
    }
    *written = std::move(prepared);
    // A PuTTY write that read the file just before our exchange renames after it: let it end,
    // and if our file is no longer the one there, look again. One still under way will put
    // the name back: that is no success.
    if (puttyWriteUnderWay(files, putty.path, putty.first, replacement.written())) {
        try {
            if (isLogActive(LOG_WARN)) {
                const std::string what = change.required
                                             ? "Value <" + std::string(change.required) + ">"
                                             : "Values " + namesOf(change.batch);
                logMessage(TC_PAL, LOG_WARN,
                           what + " may come back: a PuTTY write is under way (" + putty.path.name +
                               ")");
            }
        } catch (const std::bad_alloc&) {
            // The status says as much.
        }
        return done(PosixHostKeyStore::SharingViolation);
    }
    if (!replacement.inPlace() || !pathNames(files, keyPath, replacement.written())) {
        return againAfterReplacing();
    }
    return done(RegistryApi::Success);
}

// The file's contents as the delete starts: what the key read, when the file is still that
// one (same device, inode, size and time), else read again.
Status currentContents(PosixFiles& files, int fd, const Snapshot& view, struct stat& st,
                       std::shared_ptr<const FileBuffer>& bytes,
                       std::vector<std::string>& removed) {
    Status status = statHostKeyFile(files, fd, st);
    if (status != RegistryApi::Success) {
        return status;
    }
    if (sameFile(view.file, st)) {
        bytes = view.bytes;
        removed = view.removed;
        return status;
    }
    auto fresh = std::make_shared<FileBuffer>();
    status = readContents(files, fd, st, *fresh);
    bytes = std::move(fresh);
    removed.clear();
    return status;
}

// The key's view of the file once changed, ready before anything becomes visible: the bytes
// read less the lines removed, or the new contents.
std::shared_ptr<const Snapshot> viewAfter(const std::string& keyPath,
                                          std::shared_ptr<const FileBuffer> bytes,
                                          std::vector<std::string> removed, const struct stat& file,
                                          std::shared_ptr<const CheckedPlace> place) {
    auto view = std::make_shared<Snapshot>();
    view->path = keyPath;
    view->place = std::move(place);
    view->bytes = std::move(bytes);
    view->removed = std::move(removed);
    view->file = file;
    view->nulFreeUntil = firstNul(view->bytes->view());
    return view;
}

// The name a write must leave naming its file.
Named keyName(const Snapshot& view, int dirFd, const CheckedPlace* place) {
    return place ? Named{dirFd, place->base} : Named{AT_FDCWD, view.path};
}

// One read-modify-replace of the file `base` in the locked directory `dirFd`, from what the
// key shows (`view`; its path is the file as configured, where PuTTY puts its .tmp). Another
// user's file (`place`) is opened without following a link and checked as the walk checked it.
Outcome changeOnce(PosixFiles& files, int dirFd, const std::string& base, const Change& change,
                   const Snapshot& view, const PuttyWrites& putty,
                   std::shared_ptr<const Snapshot>* written,
                   const std::shared_ptr<const CheckedPlace>& place) {
    const int follow = place ? O_NOFOLLOW : 0;
    Fd file(files, files.openat(dirFd, base.c_str(),
                                O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | follow, 0));
    if (file.get() < 0) {
        return place && errno == ELOOP ? done(RegistryApi::AccessDenied) : failed(errno);
    }
    struct stat before {};
    std::shared_ptr<const FileBuffer> bytes;
    std::vector<std::string> removed;
    const Status status = currentContents(files, file.get(), view, before, bytes, removed);
    if (status != RegistryApi::Success) {
        return done(status);
    }
    if (place && !distrustFile(before, place->uid, base).empty()) {
        return done(RegistryApi::AccessDenied);
    }
    const ValueBatch& batch = change.batch;
    const HostKeyText text{bytes->view(), removed};
    if (change.required ? !hasName(text, change.required)
                        : batch.sets().empty() && !removesAny(text, batch)) {
        return done(change.required ? RegistryApi::NotFound : RegistryApi::Success);
    }
    std::shared_ptr<FileBuffer> composed;
    if (!batch.sets().empty()) {
        const Status composing = compose(text, batch, composed);
        if (composing != RegistryApi::Success) {
            return done(composing);
        }
    }
    // A writable directory alone would let the rename succeed; the file itself must be
    // writable too, as the registry would require of the key.
    if (files.faccessat(dirFd, base.c_str(), W_OK,
                        AT_EACCESS | (place ? AT_SYMLINK_NOFOLLOW : 0)) != 0) {
        return failed(errno);
    }
    Replacement replacement(files, dirFd, base, PosixHostKeyStore::TempInfix);
    if (!replacement.create(before, file.get()) ||
        !(composed ? writeAll(files, replacement.fd(), composed->data(), composed->size())
                   : writeKept(files, replacement.fd(), text, batch)) ||
        !replacement.finish()) {
        return failed(errno);
    }
    std::shared_ptr<const Snapshot> prepared;
    if (composed) {
        prepared = viewAfter(view.path, std::move(composed), {}, replacement.written(), place);
    } else {
        removed.insert(removed.end(), batch.removals().begin(), batch.removals().end());
        prepared = viewAfter(view.path, std::move(bytes), std::move(removed), replacement.written(),
                             place);
    }
    // Looked at before the swap, so that a delete that fails here has changed nothing. A write
    // that ends meanwhile changed the file: the swap sees that and starts again.
    if (puttyWriteUnderWay(files, putty.path, putty.first, replacement.written())) {
        return done(PosixHostKeyStore::SharingViolation);
    }
    switch (replacement.swapIn(before)) {
    case Replacement::Swap::Done:
        return completeSwap(files, replacement, keyName(view, dirFd, place.get()), putty, change,
                            prepared, written);
    case Replacement::Swap::Changed:
        return again();
    case Replacement::Swap::ChangedAfter:
        // Ours was in place for a moment, and a writer may have copied it: the name found
        // gone on the next look was removed by this delete.
        return againAfterReplacing();
    case Replacement::Swap::Failed:
        break;
    }
    return failed(errno);
}

// The directory of a file about to be made, opened without following a link there and made
// (0700, as PuTTY makes it) when missing; only that one level is made. -1 with errno.
int openOrMakeDirectory(PosixFiles& files, const std::string& dir) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const auto [parent, name] = splitLast(dir);
    // "/", "." or "..": nothing to make, and no link.
    if (name.empty() || name == "." || name == "..") {
        return files.openat(AT_FDCWD, dir.c_str(), flags, 0);
    }
    // The levels above are the user's own (a home may well be a link).
    Fd parentFd(files,
                files.openat(AT_FDCWD, parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (parentFd.get() < 0) {
        return -1;
    }
    int fd = files.openat(parentFd.get(), name.c_str(), flags, 0);
    if (fd < 0 && errno == ENOENT) {
        if (files.mkdirat(parentFd.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
            return -1;
        }
        fd = files.openat(parentFd.get(), name.c_str(), flags, 0);
    }
    return fd;
}

// Another user's directory, made for them (0700, theirs) in the home the walk checked, or
// found made meanwhile and checked; null with errno (EACCES for one not to be trusted).
std::shared_ptr<const CheckedPlace> makeUsersDirectory(PosixFiles& files,
                                                       const CheckedPlace& home) {
    Fd homeFd(files, reopenChecked(files, home, home.dir.get(), nullptr));
    if (homeFd.get() < 0) {
        return nullptr;
    }
    const bool made = files.mkdirat(homeFd.get(), home.makeDir.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) {
        return nullptr;
    }
    auto place = std::make_shared<CheckedPlace>(files);
    place->dir.reset(files.openat(homeFd.get(), home.makeDir.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    place->home = home.home;
    place->base = home.base;
    place->uid = home.uid;
    place->gid = home.gid;
    struct stat st {};
    if (place->dir.get() < 0 || (made && files.fchown(place->dir.get(), home.uid, home.gid) != 0) ||
        files.fstat(place->dir.get(), &st) != 0) {
        return nullptr;
    }
    if (!distrustDirectory(st, home.uid, home.makeDir).empty()) {
        errno = EACCES;
        return nullptr;
    }
    return place;
}

// Makes the file `base` in the locked directory `dirFd`, holding the batch's sets; another
// user's (`place`) is theirs.
Outcome createIn(PosixFiles& files, int dirFd, const std::string& base, const Snapshot& view,
                 const Change& change, const PuttyWrites& putty,
                 std::shared_ptr<const Snapshot>* written,
                 const std::shared_ptr<const CheckedPlace>& place) {
    const ValueBatch& batch = change.batch;
    struct stat there {};
    if (files.fstatat(dirFd, base.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        // Another writer's new file is changed as any file is; a link left dangling, a pipe
        // or a directory is nothing to write through.
        return S_ISREG(there.st_mode) ? again() : done(RegistryApi::AccessDenied);
    }
    if (errno != ENOENT) {
        return failed(errno);
    }
    std::shared_ptr<FileBuffer> composed;
    const Status composing = compose(view.text(), batch, composed);
    if (composing != RegistryApi::Success) {
        return done(composing);
    }
    Replacement replacement(files, dirFd, base, PosixHostKeyStore::TempInfix);
    if (!(place ? replacement.createNewFor(place->uid, place->gid) : replacement.createNew()) ||
        !writeAll(files, replacement.fd(), composed->data(), composed->size()) ||
        !replacement.finish()) {
        return failed(errno);
    }
    std::shared_ptr<const Snapshot> prepared =
        viewAfter(view.path, std::move(composed), {}, replacement.written(), place);
    // PuTTY's rename of a .tmp would replace the new file.
    if (puttyWriteUnderWay(files, putty.path, putty.first, replacement.written())) {
        return done(PosixHostKeyStore::SharingViolation);
    }
    switch (replacement.linkIn()) {
    case Replacement::Swap::Done:
        return completeSwap(files, replacement, keyName(view, dirFd, place.get()), putty, change,
                            prepared, written);
    case Replacement::Swap::Changed:
        return again();
    case Replacement::Swap::ChangedAfter: // only an exchange has an after
    case Replacement::Swap::Failed:
        break;
    }
    return failed(errno);
}

// Makes the file that a key from createKey found missing, holding the batch's sets; a file
// someone else makes meanwhile is changed the usual way on the next attempt, never replaced.
Outcome createOnce(PosixFiles& files, const Snapshot& view, const Change& change,
                   const PuttyWrites& putty, std::shared_ptr<const Snapshot>* written) {
    const ValueBatch& batch = change.batch;
    // Nothing to remove from no file, and no file made for it.
    if (batch.sets().empty()) {
        return done(change.required ? RegistryApi::NotFound : RegistryApi::Success);
    }
    const auto [dir, base] = splitLast(view.path);
    Fd dirFd(files, openOrMakeDirectory(files, dir));
    if (dirFd.get() < 0) {
        // A link, or anything but a directory, where the directory should be.
        return errno == ENOTDIR || errno == ELOOP ? done(RegistryApi::AccessDenied) : failed(errno);
    }
    if (!lockDirectory(files, dirFd.get())) {
        return done(PosixHostKeyStore::SharingViolation);
    }
    return createIn(files, dirFd.get(), base, view, change, putty, written, nullptr);
}

// One attempt on another user's file: only relative to the directory the walk checked (made
// first where the key's first change makes it), checked again; no path is resolved.
Outcome attemptChecked(PosixFiles& files, const Snapshot& view, const Change& change,
                       const PuttyWrites& putty, std::shared_ptr<const Snapshot>* written) {
    std::shared_ptr<const CheckedPlace> place = view.place;
    if (!place->makeDir.empty()) {
        if (change.batch.sets().empty()) {
            return done(change.required ? RegistryApi::NotFound : RegistryApi::Success);
        }
        place = makeUsersDirectory(files, *place);
        if (!place) {
            return errno == ELOOP || errno == ENOTDIR ? done(RegistryApi::AccessDenied)
                                                      : failed(errno);
        }
    }
    Fd dirFd(files, reopenChecked(files, *place, place->dir.get(), nullptr));
    if (dirFd.get() < 0) {
        return failed(errno);
    }
    if (!lockDirectory(files, dirFd.get())) {
        return done(PosixHostKeyStore::SharingViolation);
    }
    struct stat there {};
    if (view.creatable &&
        files.fstatat(dirFd.get(), place->base.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        return change.batch.sets().empty()
                   ? done(change.required ? RegistryApi::NotFound : RegistryApi::Success)
                   : createIn(files, dirFd.get(), place->base, view, change, putty, written, place);
    }
    return changeOnce(files, dirFd.get(), place->base, change, view, putty, written, place);
}

// One attempt from the configured path: a link there is followed afresh each time, since
// PuTTY's own write may have replaced it with a regular file since the last.
Outcome attempt(PosixFiles& files, const Snapshot& view, const Change& change,
                const PuttyWrites& putty, std::shared_ptr<const Snapshot>* written) {
    if (view.place) {
        return attemptChecked(files, view, change, putty, written);
    }
    // Through a symbolic link to the file itself: the link stays a link.
    std::optional<std::string> resolved = files.realpath(view.path);
    if (!resolved) {
        return errno == ENOENT && view.creatable ? createOnce(files, view, change, putty, written)
                                                 : failed(errno);
    }
    std::size_t slash = resolved->rfind('/');
    std::string dir = slash == 0 ? "/" : resolved->substr(0, slash);
    std::string base = resolved->substr(slash + 1);
    Fd dirFd(files, files.openat(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (dirFd.get() < 0) {
        return failed(errno);
    }
    if (!lockDirectory(files, dirFd.get())) {
        return done(PosixHostKeyStore::SharingViolation);
    }
    return changeOnce(files, dirFd.get(), base, change, view, putty, written, nullptr);
}

} // namespace

PosixHostKeyStore::PosixHostKeyStore(PosixFiles& calls) : files(calls), nextHandle(0x1000) {}

PosixHostKeyStore::~PosixHostKeyStore() = default;

std::shared_ptr<const Snapshot> PosixHostKeyStore::find(Handle key) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = keys.find(key);
    return it == keys.end() ? nullptr : it->second.view;
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
        if (parent != rootHandle(CurrentUserRoot) || cache.empty() ||
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
    auto snapshot = find(key);
    if (!snapshot) {
        return InvalidHandle;
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
        const ValueBatch batch(removals, sets);
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
        const ValueBatch batch(removals, sets);
        return rewrite(key, Change{batch, nullptr});
    } catch (const std::bad_alloc&) {
        return NotEnoughMemory;
    }
}

RegistryApi::Status PosixHostKeyStore::applyChanges(Handle key,
                                                    const std::vector<std::string>& removals,
                                                    const std::vector<ValueText>& sets,
                                                    std::size_t* applied) {
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
    for (const ValueText& set : sets) {
        if (!fitsLine(set.name, set.data)) {
            return InvalidParameter;
        }
    }
    Status status = NotEnoughMemory;
    try {
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
        status = rewriteFile(*snapshot, change, &written);
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

RegistryApi::Status PosixHostKeyStore::rewriteFile(const Snapshot& view, const Change& change,
                                                   std::shared_ptr<const Snapshot>* written) {
    // A .tmp that appears or changes while the delete runs is a write under way, however old
    // its time says it is.
    const Named tmp = !view.place ? Named{AT_FDCWD, view.path + ".tmp"}
                      : !view.place->makeDir.empty()
                          ? Named{-1, {}}
                          : Named{view.place->dir.get(), view.place->base + ".tmp"};
    const PuttyWrites putty{tmp, lookAtPuttyTemp(files, tmp)};
    bool replaced = false;
    for (int round = 0; round < MaxDeleteAttempts; ++round) {
        Outcome outcome = attempt(files, view, change, putty, written);
        replaced = replaced || outcome.replaced;
        if (!outcome.retry) {
            // Looking again after our own replacement and finding the name gone is success.
            return replaced && outcome.status == NotFound ? Success : outcome.status;
        }
    }
    return SharingViolation;
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
