// A backup that fails at any step is an error that costs nothing: the previous backup stays as
// it was, and no file of the attempt is left beside it.
#include "../../provider/src/backup/PosixBackupFile.h"
#include "HostKeyStoreTesting.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using hktest::Call;

struct FailureRow {
    const char* what;
    Call call;
    int error;
    unsigned nth;
    const char* reason; // what the error says
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.what;
}

class BackupFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(BackupFailure, KeepsThePreviousBackupAndLeavesNoFile) {
    const FailureRow& row = GetParam();
    hktest::TempDir dir;
    const std::string path = dir.file("sshhostkeys.old");
    hktest::writeFile(path, "previous\n");
    const ino_t inode = hktest::inodeOf(path);
    hktest::FaultyFiles files;
    files.chunk = 4; // several writes, so that a later one can fail with part of the file out
    files.failOn(row.call, row.error, row.nth);
    std::string reason;
    {
        PAL::PreviousBackup previous;
        reason = PAL::detail::writeBackupFile(files, path, "new backup\n", nullptr, &previous);
    }
    EXPECT_EQ(0u, reason.find(row.reason)) << reason;
    EXPECT_GE(files.calls(row.call), row.nth) << "the step was never reached";
    EXPECT_EQ("previous\n", hktest::readFile(path));
    EXPECT_EQ(inode, hktest::inodeOf(path));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys.old"}, hktest::entries(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, BackupFailure,
    ::testing::Values(FailureRow{"open its directory", Call::OpenDir, EACCES, 1, "/"},
                      FailureRow{"look at it", Call::Fstatat, EIO, 1, "cannot look at it"},
                      FailureRow{"create the new file", Call::CreateTemp, ENOSPC, 1,
                                 "cannot create a file beside it"},
                      FailureRow{"a later write", Call::Write, ENOSPC, 2, "cannot write"},
                      FailureRow{"flush before the rename", Call::SyncFile, EIO, 1, "cannot flush"},
                      FailureRow{"close", Call::Close, EIO, 1, "cannot write"},
                      FailureRow{"keep the previous one", Call::Link, EIO, 1,
                                 "cannot keep the backup it replaces"},
                      FailureRow{"rename", Call::Rename, EIO, 1, "cannot rename the new file"},
                      FailureRow{"flush its directory", Call::SyncDir, EIO, 1,
                                 "cannot flush its directory"}));

} // namespace
