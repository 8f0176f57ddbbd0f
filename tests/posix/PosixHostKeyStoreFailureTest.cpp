// A delete that fails, crashes or meets another writer never loses a key: the file is the old
// one or the new one, whole, and a failure the store saw leaves no temporary file behind.
#include "HostKeyStoreTesting.h"

#include "PAL/LogUtil.h"

#include "support/LogRecords.h"
#include "support/ScopedEnv.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ostream>

#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <new>
#include <thread>

namespace {

using hktest::Call;
using hktest::FaultyFiles;
using hktest::readFile;
using hktest::writeFile;
using PAL::RegistryApi;
using PAL::detail::PosixHostKeyStore;
using Status = RegistryApi::Status;

const std::string Before = "a@22:host1 0x1,0x2\r\nb@22:host2 0x3,0x4\n# comment\nc@22:host3 0x5\n";
const std::string After = "a@22:host1 0x1,0x2\r\n# comment\nc@22:host3 0x5\n";
const char* const Deleted = "b@22:host2";
// Built with HKPRUNE_RENAME_EXCHANGE=OFF, or for a system without it.
const char* const NoExchange = "this build has no exchange: the delete renames";

class DeleteTrouble : public ::testing::Test {
protected:
    // Opens the cache (so that the calls counted from here on are the delete's own).
    RegistryApi::Handle open() {
        RegistryApi::Handle key = RegistryApi::NotOpen;
        EXPECT_EQ(RegistryApi::Success,
                  store.openKey(hktest::currentUser(), hktest::cachePath(), &key));
        return key;
    }

    // The file holds `expected`, and nothing but it is in the directory.
    void expectOnly(const std::string& expected) {
        EXPECT_EQ(expected, readFile(path));
        EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
    }
    // The original file is untouched: same bytes, same inode, no temporary file.
    void expectUntouched() {
        expectOnly(Before);
        EXPECT_EQ(inode, hktest::inodeOf(path));
    }

    hktest::TempDir dir;
    std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", path};
    ino_t inode =
        (writeFile(path, Before), ::setxattr(path.c_str(), "user.origin", "dotfiles", 8, 0),
         hktest::inodeOf(path));
    FaultyFiles files;
    PosixHostKeyStore store{files};
};

// --- Failures the store sees -------------------------------------------------------------

struct FailureRow {
    const char* what;
    Call call;
    int error;
    unsigned nth;
    Status expected;
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.what;
}

class FailingStep : public DeleteTrouble, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(FailingStep, LeavesTheOriginalAsItWas) {
    const FailureRow& row = GetParam();
    files.chunk = 16; // several writes, so that a later one can fail with part of the file out
    RegistryApi::Handle key = open();
    if (row.call == Call::Read) { // changed since the open: the delete reads it again
        struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), hourAgo, 0));
    }
    files.failOn(row.call, row.error, row.nth);
    EXPECT_EQ(row.expected, store.deleteValue(key, Deleted)) << row.what;
    store.closeKey(key);
    EXPECT_GE(files.calls(row.call), row.nth) << row.what << ": the step was never reached";
    expectUntouched();
}

// Removals and sets of one batch: a file that has all of them, or none.
const std::vector<std::string> Removals = {Deleted, "a@22:host1"};
const std::vector<RegistryApi::ValueText> Sets = {{"c@22:host3", "0x9"}, {"new@22:host4", "0x7"}};

TEST_P(FailingStep, LeavesTheOriginalAsItWasForABatch) {
    const FailureRow& row = GetParam();
    files.chunk = 16;
    RegistryApi::Handle key = open();
    if (row.call == Call::Read) {
        struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), hourAgo, 0));
    }
    files.failOn(row.call, row.error, row.nth);
    std::size_t applied = 99;
    EXPECT_EQ(row.expected, store.applyChanges(key, Removals, Sets, &applied)) << row.what;
    EXPECT_EQ(0u, applied) << row.what;
    store.closeKey(key);
    EXPECT_GE(files.calls(row.call), row.nth) << row.what << ": the step was never reached";
    expectUntouched();
}

TEST_F(DeleteTrouble, ABatchIsOneRewrite) {
    RegistryApi::Handle key = open();
    std::size_t applied = 0;
    EXPECT_EQ(RegistryApi::Success, store.applyChanges(key, Removals, Sets, &applied));
    EXPECT_EQ(4u, applied);
    store.closeKey(key);
    EXPECT_EQ(1u, files.calls(Call::CreateTemp));
    EXPECT_EQ(1u, files.calls(Call::Exchange) + files.calls(Call::Rename));
    expectOnly("# comment\nc@22:host3 0x9\nnew@22:host4 0x7\n");
    EXPECT_EQ(8, ::getxattr(path.c_str(), "user.origin", nullptr, 0)) << "attributes kept";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingStep,
    ::testing::Values(
        FailureRow{"the link cannot be resolved", Call::Realpath, ELOOP, 1, 1921},
        FailureRow{"the directory cannot be opened", Call::OpenDir, EACCES, 1, 5},
        FailureRow{"the file cannot be opened", Call::OpenFile, EACCES, 1, 5},
        FailureRow{"the file cannot be read", Call::Read, EIO, 1, 1117},
        // Root passes every permission check, so the refusal is injected.
        FailureRow{"the file is read-only", Call::Access, EACCES, 1, 5},
        FailureRow{"the file system is read-only", Call::Access, EROFS, 1, 19},
        FailureRow{"the directory is not writable", Call::CreateTemp, EACCES, 1, 5},
        FailureRow{"no room for a new file", Call::CreateTemp, ENOSPC, 1, 112},
        FailureRow{"over quota", Call::CreateTemp, EDQUOT, 1, 112},
        FailureRow{"the mode cannot be set", Call::Chmod, EPERM, 1, 5},
        FailureRow{"the attributes cannot be listed", Call::ListXattr, EIO, 1, 1117},
        FailureRow{"an attribute cannot be copied", Call::SetXattr, EPERM, 1, 5},
        FailureRow{"the disk fills at once", Call::Write, ENOSPC, 1, 112},
        FailureRow{"the disk fills half way", Call::Write, ENOSPC, 3, 112},
        FailureRow{"the new file cannot be flushed", Call::SyncFile, EIO, 1, 1117},
        // Where NFS reports a write that failed late.
        FailureRow{"closing the new file reports an error", Call::Close, EIO, 1, 1117},
        FailureRow{"the new file cannot be opened again", Call::OpenFile, EMFILE, 2, 4},
        FailureRow{"the last look before the exchange fails", Call::Fstatat, EIO, 1, 1117},
        FailureRow{"the exchange fails", Call::Exchange, EIO, 1, 1117},
        FailureRow{"the file is busy", Call::Exchange, EBUSY, 1, 170}));

// NFS gives no exclusive lock on a directory; the change checks still guard the file.
TEST_F(DeleteTrouble, WhereNoLockCanBeHadTheDeleteGoesOn) {
    for (int error : {EBADF, ENOLCK}) {
        writeFile(path, Before);
        const unsigned locks = files.calls(Call::Lock);
        files.failOn(Call::Lock, EINTR); // interrupted: asked again
        files.failOn(Call::Lock, error, 2);
        EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted)) << error;
        EXPECT_EQ(locks + 2, files.calls(Call::Lock)) << error;
        expectOnly(After);
    }
}

// Another run that could not lock either: its rename is seen like PuTTY's.
TEST_F(DeleteTrouble, TwoUnlockedDeletesBothKeepTheirEffect) {
    FaultyFiles otherFiles;
    PosixHostKeyStore other(otherFiles);
    files.failOn(Call::Lock, EBADF);
    otherFiles.failOn(Call::Lock, EBADF);
    Status otherStatus = 0;
    files.before(Call::Exchange, [&] { otherStatus = hktest::deleteName(other, "a@22:host1"); });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_EQ(RegistryApi::Success, otherStatus);
    expectOnly("# comment\nc@22:host3 0x5\n");
}

TEST_F(DeleteTrouble, ARenameThatFailsWhereThereIsNoExchangeLeavesTheOriginal) {
    files.failOn(Call::Exchange, EINVAL, 1, 100);
    files.failOn(Call::Rename, EIO);
    EXPECT_EQ(1117u, hktest::deleteName(store, Deleted));
    expectUntouched();
}

// A file system without RENAME_EXCHANGE (EINVAL), or a kernel without renameat2 (ENOSYS).
TEST_F(DeleteTrouble, WithoutExchangeTheDeleteRenames) {
    for (int error : {EINVAL, ENOSYS}) {
        writeFile(path, Before);
        const unsigned renames = files.calls(Call::Rename);
        files.failOn(Call::Exchange, error, 1, 100);
        EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted)) << error;
        EXPECT_EQ(renames + 1, files.calls(Call::Rename)) << error;
        expectOnly(After);
    }
}

TEST_F(DeleteTrouble, ADirectorySyncThatFailsPutsTheOriginalBack) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.failOn(Call::SyncDir, EIO);
    EXPECT_EQ(1117u, hktest::deleteName(store, Deleted));
    expectUntouched();
}

// CIFS and some FUSE file systems cannot sync a directory at all.
TEST_F(DeleteTrouble, ADirectoryThatCannotBeSyncedIsNoFailure) {
    files.failOn(Call::SyncDir, EINVAL);
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    expectOnly(After);
}

TEST_F(DeleteTrouble, WithoutExchangeADirectorySyncThatFailsIsReportedWithTheNewContentInPlace) {
    files.failOn(Call::Exchange, EINVAL, 1, 100);
    files.failOn(Call::SyncDir, EIO);
    EXPECT_EQ(1117u, hktest::deleteName(store, Deleted));
    expectOnly(After);
}

TEST_F(DeleteTrouble, AReplacedFileThatCannotBeCheckedIsPutBackAndTheDeleteRedone) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.failOn(Call::Fstatat, EIO, 2); // the look at what the exchange brought back
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_EQ(3u, files.calls(Call::Exchange)) << "exchange, exchange back, exchange";
    expectOnly(After);
}

TEST_F(DeleteTrouble, WhenNothingCanBeCheckedBothFilesStay) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.failOn(Call::Fstatat, EIO, 2, 2);
    EXPECT_EQ(1117u, hktest::deleteName(store, Deleted));
    // The file under the temporary name is what was replaced: here, the original.
    auto names = hktest::entries(dir.path());
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ(After, readFile(path));
    EXPECT_EQ(Before, readFile(dir.file(names[0] == "sshhostkeys" ? names[1] : names[0])));
}

TEST_F(DeleteTrouble, RunningOutOfMemoryIsAFailureThatLeavesNoTemporaryFile) {
    files.before(Call::SyncFile, [] { throw std::bad_alloc(); });
    EXPECT_EQ(PosixHostKeyStore::NotEnoughMemory, hktest::deleteName(store, Deleted));
    expectUntouched();
}

// --- Crashes -----------------------------------------------------------------------------

struct CrashRow {
    const char* what;
    Call call;
    unsigned nth;
    bool exchangeWorks;
    bool newContent; // which content the file must hold afterwards
};

void PrintTo(const CrashRow& row, std::ostream* out) {
    *out << row.what;
}

class CrashAt : public DeleteTrouble, public ::testing::WithParamInterface<CrashRow> {};

// The process dies just before the call; the file is then the old or the new one, whole.
TEST_P(CrashAt, LeavesTheOldOrTheNewFileWhole) {
    const CrashRow& row = GetParam();
    if (row.exchangeWorks && row.newContent && !PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.chunk = 16;
    if (!row.exchangeWorks) {
        files.failOn(Call::Exchange, EINVAL, 1, 100);
    }
    RegistryApi::Handle key = open();
    files.before(
        row.call, [] { _exit(42); }, row.nth);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        store.deleteValue(key, Deleted);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << row.what << ": never reached";
    EXPECT_EQ(row.newContent ? After : Before, readFile(path)) << row.what;
    // Whatever the crash left, the next run works.
    PosixHostKeyStore fresh;
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(fresh, "a@22:host1"));
    EXPECT_EQ(row.newContent ? "# comment\nc@22:host3 0x5\n"
                             : "b@22:host2 0x3,0x4\n# comment\nc@22:host3 0x5\n",
              readFile(path));
}

INSTANTIATE_TEST_SUITE_P(
    Points, CrashAt,
    ::testing::Values(CrashRow{"half way through writing", Call::Write, 3, true, false},
                      CrashRow{"before the flush", Call::SyncFile, 1, true, false},
                      CrashRow{"before the new file is closed", Call::Close, 1, true, false},
                      CrashRow{"before the exchange", Call::Exchange, 1, true, false},
                      CrashRow{"right after the exchange", Call::Fstatat, 2, true, true},
                      CrashRow{"before the old file is removed", Call::Unlink, 1, true, true},
                      CrashRow{"before the directory sync", Call::SyncDir, 1, true, true},
                      CrashRow{"before the rename (no exchange)", Call::Rename, 1, false, false},
                      CrashRow{"after the rename (no exchange)", Call::SyncDir, 1, false, true}));

// Signals whose default action ends the process: from a terminal, a session, a limit, a timer,
// a pipe, another program. Those that dump core still do (the same signal ends the child).
TEST_F(DeleteTrouble, ASignalThatEndsTheDeleteRemovesTheTemporaryFile) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                       SIGPIPE, SIGVTALRM, SIGPROF, SIGABRT, SIGXCPU, SIGSYS, SIGRTMIN, SIGRTMAX}) {
        RegistryApi::Handle key = open();
        files.before(Call::SyncFile, [signal] { ::raise(signal); });
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            struct rlimit noCore {};
            setrlimit(RLIMIT_CORE, &noCore);
            store.deleteValue(key, Deleted);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        expectUntouched();
        store.closeKey(key);
    }
}

// chattr +a: the new file could be neither swapped in nor removed again.
TEST_F(DeleteTrouble, AnAppendOnlyDirectoryIsDeniedBeforeAnyNewFile) {
    const int dirFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    ASSERT_EQ(0, ::ioctl(dirFd, FS_IOC_GETFLAGS, &flags)) << strerror(errno);
    flags |= FS_APPEND_FL;
    if (::ioctl(dirFd, FS_IOC_SETFLAGS, &flags) != 0) {
        ::close(dirFd);
        GTEST_SKIP() << "chattr +a refused here: " << strerror(errno);
    }
    const Status status = hktest::deleteName(store, Deleted);
    flags &= ~FS_APPEND_FL;
    ::ioctl(dirFd, FS_IOC_SETFLAGS, &flags);
    ::close(dirFd);
    EXPECT_EQ(RegistryApi::AccessDenied, status);
    EXPECT_EQ(0u, files.calls(Call::CreateTemp));
    expectUntouched();
}

// Run under nohup: a hang-up the process ignores does not end the delete.
TEST_F(DeleteTrouble, AnIgnoredSignalStaysIgnored) {
    RegistryApi::Handle key = open();
    files.before(Call::SyncFile, [] { ::raise(SIGHUP); });
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGHUP, SIG_IGN);
        _exit(store.deleteValue(key, Deleted) == RegistryApi::Success ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    expectOnly(After);
    store.closeKey(key);
}

// --- Other writers -----------------------------------------------------------------------

TEST_F(DeleteTrouble, AKeyPuTTYAddsWhileTheNewFileIsWrittenIsKept) {
    files.before(Call::SyncFile, [&] { hktest::puttyAdd(path, "new@22:host4 0x7"); });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_EQ(1u, files.calls(Call::Exchange)) << "seen before anything was swapped";
    expectOnly(After + "new@22:host4 0x7\n");
}

TEST_F(DeleteTrouble, AKeyPuTTYAddsJustBeforeTheExchangeIsPutBack) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.before(Call::Exchange, [&] { hktest::puttyAdd(path, "new@22:host4 0x7"); });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_EQ(3u, files.calls(Call::Exchange)) << "exchange, exchange back, exchange";
    expectOnly(After + "new@22:host4 0x7\n");
}

// PuTTY has created <file>.tmp and read the file when the store swaps its file in; PuTTY's
// rename, later, brings the deleted line back. The store waits for it and deletes again.
TEST_F(DeleteTrouble, APuTTYWriteUnderWayCannotUndoTheDelete) {
    int looksSinceExchange = -1;
    files.before(Call::Exchange, [&] {
        writeFile(path + ".tmp", "");
        looksSinceExchange = 0;
    });
    // PuTTY renames only once the store has seen its .tmp and looked again.
    files.before(
        Call::StatPuttyTemp,
        [&] {
            if (looksSinceExchange >= 0 && ++looksSinceExchange == 2) {
                writeFile(path + ".tmp", Before + "new@22:host4 0x7\n");
                std::rename((path + ".tmp").c_str(), path.c_str());
            }
        },
        0);
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_EQ(2u, files.calls(Call::Exchange));
    expectOnly(After + "new@22:host4 0x7\n");
}

// A PuTTY write lands just before the exchange, and a second one copies the store's file in the
// moment it is in place: the name is gone when the store looks again, and that is its doing.
TEST_F(DeleteTrouble, ANameGoneOnceTheNewFileWasInPlaceIsDeleted) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    files.before(Call::Exchange, [&] { hktest::puttyAdd(path, "a@22:host1 0x1,0x2"); });
    // The look at what the exchange brought back.
    files.before(
        Call::Fstatat, [&] { hktest::puttyAdd(path, "new@22:host4 0x7"); }, 2);
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    expectOnly(After + "new@22:host4 0x7\n");
}

// Its rename will put the name back: the log says so.
TEST_F(DeleteTrouble, APuTTYWriteStillUnderWayAtTheEndIsASharingViolation) {
    hktest::ScopedLogSettings saved;
    hktest::TempDir logs;
    PAL::setLogDirectory(logs.path().string());
    PAL::setLogFileName("hkprune.log");
    files.before(Call::SyncDir, [&] { writeFile(path + ".tmp", ""); });
    files.before(
        Call::StatPuttyTemp, [&] { utimensat(AT_FDCWD, (path + ".tmp").c_str(), nullptr, 0); }, 0);
    EXPECT_EQ(PosixHostKeyStore::SharingViolation, hktest::deleteName(store, Deleted));
    EXPECT_EQ((std::vector<std::string>{"sshhostkeys", "sshhostkeys.tmp"}),
              hktest::entries(dir.path()));
    EXPECT_EQ(std::vector<std::string>{"WARN PAL Value <b@22:host2> may come back: a PuTTY write "
                                       "is under way (" +
                                       path + ".tmp)"},
              hktest::logRecords(logs.file("hkprune.log")));
}

// A reader's lock, or a stopped run's, is waited for a while, not for ever.
TEST_F(DeleteTrouble, SomeoneElsesLockEndsInASharingViolation) {
    int other = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(0, ::flock(other, LOCK_SH));
    EXPECT_EQ(PosixHostKeyStore::SharingViolation, hktest::deleteName(store, Deleted));
    ::close(other);
    expectUntouched();
}

// PuTTY's own write replaces a link at the path with a regular file: the delete must land there.
TEST_F(DeleteTrouble, ALinkPuTTYReplacesDuringTheDeleteIsFollowedAgain) {
    hktest::TempDir elsewhere;
    const std::string target = elsewhere.file("keys");
    writeFile(target, Before);
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    files.before(Call::Exchange, [&] { hktest::puttyAdd(path, "new@22:host4 0x7"); });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    expectOnly(After + "new@22:host4 0x7\n");
}

// PuTTY's <file>.tmp as the delete finds it: dead, or a write under way that must stop it.
struct PuttyTempRow {
    const char* what;
    time_t tmpAge;  // of the .tmp's time, by this machine's clock
    time_t oursAge; // of the time the file system gives our new file (-1: its own)
    bool rewritten; // written again during the delete, with its size and time as they were
    Status expected;
};

void PrintTo(const PuttyTempRow& row, std::ostream* out) {
    *out << row.what;
}

class PuttyTempAt : public DeleteTrouble, public ::testing::WithParamInterface<PuttyTempRow> {};

// Judged by the file system's own clock; a .tmp not shown dead stops the delete before the swap.
TEST_P(PuttyTempAt, TheDeleteGoesOnOnlyPastADeadOne) {
    const PuttyTempRow& row = GetParam();
    const std::string tmp = path + ".tmp";
    const time_t now = time(nullptr);
    const auto setAge = [&](const std::string& file, time_t age) {
        const struct timespec then[2] = {{now - age, 0}, {now - age, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), then, 0)) << file;
    };
    writeFile(tmp, "half");
    setAge(tmp, row.tmpAge);
    files.before(Call::SyncFile, [&] {
        for (const std::string& name : hktest::entries(dir.path())) {
            if (row.oursAge >= 0 && name.find(PosixHostKeyStore::TempInfix) != std::string::npos) {
                setAge(dir.file(name), row.oursAge);
            }
        }
        if (row.rewritten) {
            writeFile(tmp, "HALF");
            setAge(tmp, row.tmpAge);
        }
    });
    EXPECT_EQ(row.expected, hktest::deleteName(store, Deleted));
    EXPECT_EQ(row.expected == RegistryApi::Success ? After : Before, readFile(path));
    EXPECT_EQ((std::vector<std::string>{"sshhostkeys", "sshhostkeys.tmp"}),
              hktest::entries(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Ages, PuttyTempAt,
    ::testing::Values(
        PuttyTempRow{"left an hour ago by a PuTTY that died", 3600, -1, false, 0},
        // A file server whose clock runs 10 s behind this machine's.
        PuttyTempRow{"left 3 s before our new file, on a server behind", 13, 10, false, 0},
        PuttyTempRow{"written 1 s before our new file, on a server behind", 11, 10, false, 32},
        PuttyTempRow{"dated an hour ahead", -3600, -1, false, 32},
        // Only its change time tells.
        PuttyTempRow{"an hour old but written during the delete", 3600, -1, true, 32}));

// Where times are coarse the append may leave the file's time as it was: its size tells.
// A key made by createKey where there was no file: another writer's file, made just before
// this one would be, is changed, not replaced.
TEST_F(DeleteTrouble, AFileAnotherWriterMakesFirstKeepsItsKeys) {
    ASSERT_EQ(0, ::unlink(path.c_str()));
    RegistryApi::Handle key = RegistryApi::NotOpen;
    ASSERT_EQ(RegistryApi::Success,
              store.createKey(hktest::currentUser(), hktest::cachePath(), &key));
    files.before(Call::Link, [&] { hktest::puttyAdd(path, "other@22:host5 0x8"); });
    EXPECT_EQ(RegistryApi::Success, store.applyChanges(key, {}, Sets, nullptr));
    store.closeKey(key);
    EXPECT_EQ(1u, files.calls(Call::Link));
    expectOnly("other@22:host5 0x8\nc@22:host3 0x9\nnew@22:host4 0x7\n");
}

// Another process makes the missing ~/.putty between the look for it and the mkdir.
TEST(MissingDirectory, MadeMeanwhileIsTheOneWrittenIn) {
    hktest::TempDir dir;
    const std::string putty = dir.file(".putty");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", putty + "/sshhostkeys"};
    FaultyFiles files;
    PosixHostKeyStore store{files};
    files.before(Call::MakeDir, [&] { ASSERT_EQ(0, ::mkdir(putty.c_str(), 0700)); });
    RegistryApi::Handle key = RegistryApi::NotOpen;
    ASSERT_EQ(RegistryApi::Success,
              store.createKey(hktest::currentUser(), hktest::cachePath(), &key));
    EXPECT_EQ(RegistryApi::Success, store.applyChanges(key, {}, Sets, nullptr));
    store.closeKey(key);
    EXPECT_EQ(1u, files.calls(Call::MakeDir));
    EXPECT_EQ("c@22:host3 0x9\nnew@22:host4 0x7\n", readFile(putty + "/sshhostkeys"));
}

TEST_F(DeleteTrouble, AKeyAppendedInPlaceAfterTheReadIsKept) {
    struct stat read {};
    ASSERT_EQ(0, ::stat(path.c_str(), &read));
    files.before(Call::Exchange, [&] {
        std::ofstream(path, std::ios::app | std::ios::binary) << "new@22:host4 0x7\n";
        const struct timespec times[2] = {{0, UTIME_OMIT}, PAL::detail::modificationTime(read)};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    expectOnly(After + "new@22:host4 0x7\n");
}

TEST_F(DeleteTrouble, WithoutExchangeAKeyAddedBeforeTheCheckIsKept) {
    files.failOn(Call::Exchange, EINVAL, 1, 100);
    files.before(Call::Exchange, [&] { hktest::puttyAdd(path, "new@22:host4 0x7"); });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    expectOnly(After + "new@22:host4 0x7\n");
}

TEST_F(DeleteTrouble, AFileThatKeepsChangingIsLeftToItsWriter) {
    if (!PAL::detail::renameExchangeBuilt()) {
        GTEST_SKIP() << NoExchange;
    }
    int added = 0;
    files.before(
        Call::Exchange,
        [&] {
            if (files.calls(Call::Exchange) % 2) { // not before the swaps back
                hktest::puttyAdd(path, "new" + std::to_string(added++) + "@22:h 0x7");
            }
        },
        0);
    EXPECT_EQ(PosixHostKeyStore::SharingViolation, hktest::deleteName(store, Deleted));
    EXPECT_EQ(PosixHostKeyStore::MaxDeleteAttempts, added);
    std::string expected = Before;
    for (int i = 0; i < added; ++i) {
        expected += "new" + std::to_string(i) + "@22:h 0x7\n";
    }
    expectOnly(expected);
}

TEST_F(DeleteTrouble, TwoDeletesAtOnceTakeTurns) {
    FaultyFiles otherFiles;
    PosixHostKeyStore other(otherFiles);
    std::atomic<bool> otherDone{false};
    Status otherStatus = 0;
    std::thread second;
    bool finishedWhileFirstHeldTheLock = true;
    files.before(Call::Exchange, [&] {
        second = std::thread([&] {
            otherStatus = hktest::deleteName(other, "a@22:host1");
            otherDone = true;
        });
        // Long enough for the second delete to finish, were it not waiting for the lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finishedWhileFirstHeldTheLock = otherDone;
    });
    EXPECT_EQ(RegistryApi::Success, hktest::deleteName(store, Deleted));
    second.join();
    EXPECT_FALSE(finishedWhileFirstHeldTheLock);
    EXPECT_EQ(RegistryApi::Success, otherStatus);
    EXPECT_EQ(1u, files.calls(Call::Exchange));
    EXPECT_EQ(1u, otherFiles.calls(Call::Exchange)) << "the second read the first's result";
    expectOnly("# comment\nc@22:host3 0x5\n");
}

// --- Real file systems that say no ---------------------------------------------------------

// Small tmpfs mounts in a mount namespace of this process's own, gone when it ends.
class FullOrReadOnly : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        isolated = unshare(CLONE_NEWNS) == 0 &&
                   mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }
    void SetUp() override {
        if (!isolated) {
            GTEST_SKIP() << "cannot make a mount namespace here (needs CAP_SYS_ADMIN)";
        }
    }
    void mountTmpfs(const char* options) {
        ASSERT_EQ(0, mount("tmpfs", dir.path().c_str(), "tmpfs", 0, options)) << strerror(errno);
        mounted = true;
    }
    void TearDown() override {
        if (mounted) {
            umount2(dir.path().c_str(), MNT_DETACH);
        }
    }
    static std::string keys(std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            text += "ssh-ed25519@22:host" + std::to_string(i) + " 0x" + std::string(64, 'a') +
                    ",0x" + std::string(64, 'b') + "\n";
        }
        return text;
    }

    static bool isolated;
    hktest::TempDir dir;
    bool mounted = false;
    std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", path};
    PosixHostKeyStore store;
};
bool FullOrReadOnly::isolated = false;

TEST_F(FullOrReadOnly, AFullDiskLeavesTheOriginal) {
    mountTmpfs("size=64k");
    const std::string before = keys(250); // about 40 KiB: no room for a second copy
    writeFile(path, before);
    ASSERT_EQ(before, readFile(path));
    EXPECT_EQ(112u, hktest::deleteName(store, "ssh-ed25519@22:host7"));
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

// PuTTY puts its .tmp beside the link, here on another file system than the file: no clock of
// that file system says how old it is, so it is not shown dead.
TEST_F(FullOrReadOnly, AnOldTmpOnAnotherFileSystemThanTheFileStopsTheDelete) {
    mountTmpfs("size=1m");
    hktest::TempDir elsewhere;
    const std::string target = elsewhere.file("keys");
    writeFile(target, keys(3));
    std::filesystem::create_symlink(target, path);
    writeFile(path + ".tmp", "half");
    const struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (path + ".tmp").c_str(), hourAgo, 0));
    EXPECT_EQ(PosixHostKeyStore::SharingViolation,
              hktest::deleteName(store, "ssh-ed25519@22:host1"));
    EXPECT_EQ(keys(3), readFile(target));
}

TEST_F(FullOrReadOnly, AReadOnlyFileSystemCanBeListedButNotChanged) {
    mountTmpfs("size=1m");
    const std::string before = keys(3);
    writeFile(path, before);
    ASSERT_EQ(0, mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr))
        << strerror(errno);
    EXPECT_EQ(3u, hktest::listNames(store).size());
    EXPECT_EQ(19u, hktest::deleteName(store, "ssh-ed25519@22:host1"));
    EXPECT_EQ(before, readFile(path));
}

} // namespace
