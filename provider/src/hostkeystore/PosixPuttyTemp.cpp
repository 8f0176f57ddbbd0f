// PuTTY for Unix's <file>.tmp: whether a write of PuTTY's is under way, or one died.
#include "PosixPuttyTemp.h"

#include "PosixFileReplace.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace PAL {
namespace detail {
namespace {

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

} // namespace

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

} // namespace detail
} // namespace PAL
