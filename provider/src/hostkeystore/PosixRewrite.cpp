// The attempts of a rewrite of the host-key file against other writers, each one a
// read-modify-replace in the file's locked directory.
#include "PosixRewrite.h"

#include "PosixFileReplace.h"
#include "PosixPuttyTemp.h"

#include "PAL/LogUtil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace PAL {
namespace detail {
namespace {

using ValueText = RegistryApi::ValueText;

// Lengths and counts in the registry calls are 32-bit.
constexpr std::size_t MaxFileSize = 0xFFFFFFFFu;

// The status of an open host-key file, refused when it is nothing PuTTY could have written.
Status statHostKeyFile(PosixFiles& files, int fd, struct stat& st) {
    if (files.fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    // A directory, a device or a pipe is nothing PuTTY could have written.
    if (!S_ISREG(st.st_mode)) {
        return StatusCodes::AccessDenied;
    }
    // Refused before reading, so that a huge file costs no memory; checked again after, in
    // case it grew meanwhile.
    return static_cast<std::uint64_t>(st.st_size) >= MaxFileSize ? StatusCodes::FileTooLarge
                                                                 : StatusCodes::Success;
}

Status readContents(PosixFiles& files, int fd, const struct stat& st, FileBuffer& bytes) {
    if (!readAll(files, fd, static_cast<std::size_t>(st.st_size), bytes)) {
        return statusFromErrno(errno);
    }
    return bytes.size() >= MaxFileSize ? StatusCodes::FileTooLarge : StatusCodes::Success;
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

// Writes the file's new contents once a batch with sets is applied, piece by piece as they
// are made; one that grows too large for the registry's lengths stops with FileTooLarge.
Status writeChanged(PosixFiles& files, int fd, const HostKeyText& text, const ValueBatch& batch) {
    BufferedWriter out(files, fd);
    std::size_t size = 0;
    bool tooLarge = false;
    const bool written = forEachChangedPiece(text, batch,
                                             [&](const char* bytes, std::size_t piece) {
                                                 size += piece;
                                                 tooLarge = size >= MaxFileSize;
                                                 return !tooLarge && out.write(bytes, piece);
                                             }) &&
                         out.flush();
    return written    ? StatusCodes::Success
           : tooLarge ? StatusCodes::FileTooLarge
                      : statusFromErrno(errno);
}

// The names a batch changes, for the log.
std::string namesOf(const ValueBatch& batch) {
    std::string names;
    for (const std::string& name : batch.removals()) {
        names += (names.empty() ? "<" : ", <") + name + ">";
    }
    std::string name;
    for (std::size_t i = 0; i < batch.sets().size(); ++i) {
        batch.sets().name(i, name);
        names += (names.empty() ? "<" : ", <") + name + ">";
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
    return {true, StatusCodes::Success};
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
        return done(StatusCodes::SharingViolation);
    }
    if (!replacement.inPlace() || !pathNames(files, keyPath, replacement.written())) {
        return againAfterReplacing();
    }
    return done(StatusCodes::Success);
}

// The file's contents as the delete starts: what the key read, when the file is still that
// one (same device, inode, size and time), else read again.
Status currentContents(PosixFiles& files, int fd, const Snapshot& view, struct stat& st,
                       std::shared_ptr<const FileBuffer>& bytes,
                       std::vector<std::string>& removed) {
    Status status = statHostKeyFile(files, fd, st);
    if (status != StatusCodes::Success) {
        return status;
    }
    if (view.bytes && sameFile(view.file, st)) {
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

// The key's view of the new file it wrote, read when the key is next listed.
std::shared_ptr<const Snapshot> viewWritten(PosixFiles& files, const std::string& keyPath,
                                            Replacement& replacement,
                                            std::shared_ptr<const CheckedPlace> place) {
    auto view = std::make_shared<Snapshot>();
    view->path = keyPath;
    view->place = std::move(place);
    view->file = replacement.written();
    view->unread = std::make_shared<Fd>(files, replacement.releaseReadable());
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
        return place && errno == ELOOP ? done(StatusCodes::AccessDenied) : failed(errno);
    }
    struct stat before {};
    std::shared_ptr<const FileBuffer> bytes;
    std::vector<std::string> removed;
    const Status status = currentContents(files, file.get(), view, before, bytes, removed);
    if (status != StatusCodes::Success) {
        return done(status);
    }
    if (place && !distrustFile(before, *place, base).empty()) {
        return done(StatusCodes::AccessDenied);
    }
    const ValueBatch& batch = change.batch;
    const HostKeyText text{bytes->view(), removed};
    if (change.required ? !hasName(text, change.required)
                        : batch.sets().size() == 0 && !removesAny(text, batch)) {
        return done(change.required ? StatusCodes::NotFound : StatusCodes::Success);
    }
    // A writable directory alone would let the rename succeed; the file itself must be
    // writable too, as the registry would require of the key.
    if (files.faccessat(dirFd, base.c_str(), W_OK,
                        AT_EACCESS | (place ? AT_SYMLINK_NOFOLLOW : 0)) != 0) {
        return failed(errno);
    }
    Replacement replacement(files, dirFd, base, RewriteTempInfix);
    const bool sets = batch.sets().size() != 0;
    if (!replacement.create(before, file.get())) {
        return failed(errno);
    }
    const Status writing = sets ? writeChanged(files, replacement.fd(), text, batch)
                           : writeKept(files, replacement.fd(), text, batch)
                               ? StatusCodes::Success
                               : statusFromErrno(errno);
    if (writing != StatusCodes::Success) {
        return done(writing);
    }
    if (!replacement.finish()) {
        return failed(errno);
    }
    std::shared_ptr<const Snapshot> prepared;
    if (sets) {
        prepared = viewWritten(files, view.path, replacement, place);
    } else {
        removed.insert(removed.end(), batch.removals().begin(), batch.removals().end());
        prepared = viewAfter(view.path, std::move(bytes), std::move(removed), replacement.written(),
                             place);
    }
    // Looked at before the swap, so that a delete that fails here has changed nothing. A write
    // that ends meanwhile changed the file: the swap sees that and starts again.
    if (puttyWriteUnderWay(files, putty.path, putty.first, replacement.written())) {
        return done(StatusCodes::SharingViolation);
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
    place->privateGroup = home.privateGroup;
    place->groupAsked = home.groupAsked;
    struct stat st {};
    if (place->dir.get() < 0 || (made && files.fchown(place->dir.get(), home.uid, home.gid) != 0) ||
        files.fstat(place->dir.get(), &st) != 0) {
        return nullptr;
    }
    if (!distrustDirectory(st, *place, home.makeDir).empty()) {
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
        return S_ISREG(there.st_mode) ? again() : done(StatusCodes::AccessDenied);
    }
    if (errno != ENOENT) {
        return failed(errno);
    }
    Replacement replacement(files, dirFd, base, RewriteTempInfix);
    if (!(place ? replacement.createNewFor(place->uid, place->gid) : replacement.createNew())) {
        return failed(errno);
    }
    const Status writing = writeChanged(files, replacement.fd(), view.text(), batch);
    if (writing != StatusCodes::Success) {
        return done(writing);
    }
    if (!replacement.finish()) {
        return failed(errno);
    }
    std::shared_ptr<const Snapshot> prepared = viewWritten(files, view.path, replacement, place);
    // PuTTY's rename of a .tmp would replace the new file.
    if (puttyWriteUnderWay(files, putty.path, putty.first, replacement.written())) {
        return done(StatusCodes::SharingViolation);
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
    if (batch.sets().size() == 0) {
        return done(change.required ? StatusCodes::NotFound : StatusCodes::Success);
    }
    const auto [dir, base] = splitLast(view.path);
    Fd dirFd(files, openOrMakeDirectory(files, dir));
    if (dirFd.get() < 0) {
        // A link, or anything but a directory, where the directory should be.
        return errno == ENOTDIR || errno == ELOOP ? done(StatusCodes::AccessDenied) : failed(errno);
    }
    if (!lockDirectory(files, dirFd.get())) {
        return done(StatusCodes::SharingViolation);
    }
    return createIn(files, dirFd.get(), base, view, change, putty, written, nullptr);
}

// One attempt on another user's file: only relative to the directory the walk checked (made
// first where the key's first change makes it), checked again; no path is resolved.
Outcome attemptChecked(PosixFiles& files, const Snapshot& view, const Change& change,
                       const PuttyWrites& putty, std::shared_ptr<const Snapshot>* written) {
    std::shared_ptr<const CheckedPlace> place = view.place;
    if (!place->makeDir.empty()) {
        if (change.batch.sets().size() == 0) {
            return done(change.required ? StatusCodes::NotFound : StatusCodes::Success);
        }
        place = makeUsersDirectory(files, *place);
        if (!place) {
            return errno == ELOOP || errno == ENOTDIR ? done(StatusCodes::AccessDenied)
                                                      : failed(errno);
        }
    }
    Fd dirFd(files, reopenChecked(files, *place, place->dir.get(), nullptr));
    if (dirFd.get() < 0) {
        return failed(errno);
    }
    if (!lockDirectory(files, dirFd.get())) {
        return done(StatusCodes::SharingViolation);
    }
    struct stat there {};
    if (view.creatable &&
        files.fstatat(dirFd.get(), place->base.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        return change.batch.sets().size() == 0
                   ? done(change.required ? StatusCodes::NotFound : StatusCodes::Success)
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
        return done(StatusCodes::SharingViolation);
    }
    return changeOnce(files, dirFd.get(), base, change, view, putty, written, nullptr);
}

} // namespace

// Serialises hkprune runs on the directory (held until `dirFd` closes). Someone else's lock
// (a reader, a stopped run) is waited for `limit` at most: false then. PuTTY takes no
// lock: its writes are caught by the change checks, and so are another run's where no lock
// can be had (NFS refuses an exclusive lock on a directory with EBADF): the delete goes on.
bool lockDirectory(PosixFiles& files, int dirFd, std::chrono::milliseconds limit) {
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

bool readWritten(PosixFiles& files, const Snapshot& view, std::shared_ptr<Snapshot>& read) {
    auto bytes = std::make_shared<FileBuffer>();
    if (!readAll(files, view.unread->get(), static_cast<std::size_t>(view.file.st_size), *bytes)) {
        return false;
    }
    read = std::make_shared<Snapshot>();
    read->path = view.path;
    read->place = view.place;
    read->file = view.file;
    read->bytes = std::move(bytes);
    read->nulFreeUntil = firstNul(read->bytes->view());
    return true;
}

Status readHostKeyFile(PosixFiles& files, int fd, struct stat& st, FileBuffer& bytes) {
    const Status status = statHostKeyFile(files, fd, st);
    return status == StatusCodes::Success ? readContents(files, fd, st, bytes) : status;
}

Status rewriteFile(PosixFiles& files, const Snapshot& view, const Change& change,
                   std::shared_ptr<const Snapshot>* written) {
    // A .tmp that appears or changes while the delete runs is a write under way, however old
    // its time says it is.
    const Named tmp = !view.place ? Named{AT_FDCWD, view.path + ".tmp"}
                      : !view.place->makeDir.empty()
                          ? Named{-1, {}}
                          : Named{view.place->dir.get(), view.place->base + ".tmp"};
    const PuttyWrites putty{tmp, lookAtPuttyTemp(files, tmp)};
    bool replaced = false;
    for (int round = 0; round < MaxRewriteAttempts; ++round) {
        Outcome outcome = attempt(files, view, change, putty, written);
        replaced = replaced || outcome.replaced;
        if (!outcome.retry) {
            // Looking again after our own replacement and finding the name gone is success.
            return replaced && outcome.status == StatusCodes::NotFound ? StatusCodes::Success
                                                                       : outcome.status;
        }
    }
    return StatusCodes::SharingViolation;
}

} // namespace detail
} // namespace PAL
