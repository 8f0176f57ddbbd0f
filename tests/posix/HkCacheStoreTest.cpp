// hkcache remove and import on PuTTY for Unix's own file: the backup beside it, an undo that
// gives the file back, and an import that is written whole or not at all.
#include "Backup.h"
#include "HkCache.h"
#include "HostKeyStoreTesting.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

namespace {

using hktest::Base64A;
using hktest::KeyA;
using hktest::KeyB;

class HkCacheStoreTest : public testing::Test {
protected:
    int run(const std::vector<std::string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = runHkCache(args, out, err);
        printed = out.str();
        errors = err.str();
        return status;
    }

    hktest::TempDir dir;
    const std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", path};
    const std::string kept = "rsa2@22:other " + KeyA + "\nssh-ed25519@22:broken 0xzz\n";
    const std::string host1 = "rsa2@22:host1 " + KeyA + "\nrsa2@2222:host1 " + KeyB + "\n";
    std::string printed;
    std::string errors;
};

TEST_F(HkCacheStoreTest, RemovalIsUndoneByImportingItsBackup) {
    hktest::writeFile(path, kept + host1);
    // Nothing is removed where the backup cannot go: a link (not written through) or a FIFO
    // there, or the cache file itself however named.
    const std::string victim = dir.file("victim");
    hktest::writeFile(victim, "mine\n");
    ASSERT_EQ(0, ::symlink(victim.c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_EQ(0, ::symlink(dir.path().c_str(), dir.file("dir").c_str()));
    for (const std::string& backup :
         {dir.file("link"), dir.file("fifo"), dir.file("dir/sshhostkeys")}) {
        EXPECT_EQ(2, run({"remove", "host1", "--backup", backup})) << backup;
        EXPECT_EQ(kept + host1, hktest::readFile(path));
    }
    EXPECT_NE(std::string::npos, errors.find("it is the cache")) << errors;

    ASSERT_EQ(0, run({"remove", "host1"})) << errors;
    EXPECT_EQ(kept, hktest::readFile(path));
    EXPECT_EQ(host1, hktest::readFile(path + ".old"));
    EXPECT_EQ("mine\n", hktest::readFile(victim));
    struct stat st {};
    ASSERT_EQ(0, ::lstat((path + ".old").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ((std::vector<std::string>{"dir", "fifo", "link", "sshhostkeys", "sshhostkeys.old",
                                        "victim"}),
              hktest::entries(dir.path()));

    ASSERT_EQ(0, run({"import", "--format", "putty", path + ".old"})) << errors;
    EXPECT_EQ(kept + host1, hktest::readFile(path));
}

TEST_F(HkCacheStoreTest, ASignalWhileTheBackupIsWrittenLeavesNoFileBehind) {
    hktest::writeFile(path, kept + host1);
    const rlimit small{16, 16}; // the backup's write ends the process by SIGXFSZ
    EXPECT_EXIT((::setrlimit(RLIMIT_FSIZE, &small), run({"remove", "host1"})),
                testing::KilledBySignal(SIGXFSZ), "");
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

TEST_F(HkCacheStoreTest, ImportIsOneRewriteOrNothing) {
    hktest::writeFile(path, kept);
    const std::string input = dir.file("known_hosts");
    hktest::writeFile(input, "host1,host2 ssh-rsa " + Base64A + "\n");
    hktest::FaultyFiles files;
    PAL::detail::PosixHostKeyStore store(files);
    hktest::ScopedRegistryApi inForce(store);

    files.failOn(hktest::Call::Write, EIO);
    EXPECT_EQ(2, run({"import", input}));
    EXPECT_EQ("", printed);
    EXPECT_EQ(kept, hktest::readFile(path));

    const unsigned renames =
        files.calls(hktest::Call::Exchange) + files.calls(hktest::Call::Rename);
    EXPECT_EQ(0, run({"import", input})) << errors;
    EXPECT_EQ(renames + 1, files.calls(hktest::Call::Exchange) + files.calls(hktest::Call::Rename));
    EXPECT_EQ(kept + "rsa2@22:host1 " + KeyA + "\nrsa2@22:host2 " + KeyA + "\n",
              hktest::readFile(path));
}

TEST_F(HkCacheStoreTest, RootWritesBesideAnotherUsersFileOnlyWhileTheDirectoryIsTheirs) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const uid_t user = 12345;
    const std::string putty = dir.file("home/.putty");
    std::filesystem::create_directories(putty);
    hktest::writeFile(putty + "/sshhostkeys", host1);
    ASSERT_EQ(0, ::chown(putty.c_str(), user, user));
    ASSERT_EQ(0, ::chown((putty + "/sshhostkeys").c_str(), user, user));
    const hkcache::Cache cache{putty + "/sshhostkeys", nullptr, {}, {}, user};

    EXPECT_EQ("", hkcache::writeBackupFile(cache.name + ".old", host1, &cache));
    struct stat st {};
    ASSERT_EQ(0, ::stat((cache.name + ".old").c_str(), &st));
    EXPECT_EQ(user, st.st_uid);

    // The user swaps their directory for a link to one of root's that holds a file of the name.
    const std::string roots = dir.file("roots");
    std::filesystem::create_directories(roots);
    hktest::writeFile(roots + "/sshhostkeys", kept);
    std::filesystem::rename(putty, dir.file("home/moved"));
    std::filesystem::create_directory_symlink(roots, putty);
    EXPECT_NE("", hkcache::writeBackupFile(cache.name + ".old", host1, &cache));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(roots));
}

} // namespace
