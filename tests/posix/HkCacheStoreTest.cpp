// hkcache remove and import on PuTTY for Unix's own file: the backup beside it, an undo that
// gives the file back, and an import that is written whole or not at all.
#include "Backup.h"
#include "HkCache.h"
#include "HostKeyStoreTesting.h"

#include "PAL/HostKeyFile.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using hktest::Base64A;
using hktest::KeyA;
using hktest::KeyB;

class HkCacheStoreTest : public testing::Test {
protected:
    HkCacheStoreTest() { hktest::nameTheCache(); }

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
    const std::string backup = hktest::readFile(path + ".old");
    EXPECT_EQ(host1, backup.substr(backup.find('\n') + 1)); // after the removal's dated line
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

TEST_F(HkCacheStoreTest, RemovalsAtOnceKeepEveryKeyInTheBackup) {
    // Twelve processes remove a host each, from one cache into the backup beside it; then from
    // a cache each into one --backup file.
    std::string hosts;
    for (int i = 0; i < 12; ++i) {
        hosts += "rsa2@22:h" + std::to_string(i) + " " + KeyA + "\n";
    }
    for (const std::string& backup : {path + ".old", dir.file("all.old")}) {
        const bool oneCache = backup == path + ".old";
        for (int i = 0; i < 12; ++i) {
            hktest::writeFile(oneCache ? path : dir.file("cache" + std::to_string(i)), hosts);
        }
        std::vector<pid_t> children;
        for (int i = 0; i < 12; ++i) {
            const std::string cache = oneCache ? path : dir.file("cache" + std::to_string(i));
            if ((children.emplace_back(::fork())) == 0) {
                ::setenv("PUTTYSSHHOSTKEYS", cache.c_str(), 1);
                ::_exit(run({"remove", "h" + std::to_string(i), "--backup", backup}));
            }
        }
        for (const pid_t child : children) {
            int status = -1;
            EXPECT_EQ(child, ::waitpid(child, &status, 0));
            EXPECT_EQ(0, status);
        }
        const std::string written = hktest::readFile(backup);
        for (int i = 0; i < 12; ++i) {
            EXPECT_NE(std::string::npos, written.find("rsa2@22:h" + std::to_string(i) + " ")) << i;
        }
    }
}

TEST_F(HkCacheStoreTest, AsRootAUsersBackupPutsKeysOnlyIntoTheirCaches) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const std::string section = "# " + path + "\n" + host1, backup = dir.file("user.old");
    // The command, the backup's owner, mode and text; the warning, none when it is put back.
    const std::tuple<const char*, uid_t, mode_t, std::string, std::string> rows[] = {
        {"import", 0, 0644, section, ""},
        {"restore", 12345, 0600, section,
         ":1: the keys for " + path + " left out: the file is 12345's, not the cache owner's"},
        {"import", 12345, 0600, host1, "user.old: its keys left out: the file is 12345's"},
        {"restore", 0, 0664, section, "others than its owner root may write the file"},
    };
    for (const auto& [command, owner, mode, text, warning] : rows) {
        SCOPED_TRACE(text + warning);
        hktest::writeFile(path, kept);
        hktest::writeFile(backup, text);
        ASSERT_EQ(0, ::chown(backup.c_str(), owner, owner) | ::chmod(backup.c_str(), mode));
        run(command == std::string("import")
                ? std::vector<std::string>{command, "--format", "putty", backup}
                : std::vector<std::string>{command, backup});
        EXPECT_EQ(warning.empty() ? kept + host1 : kept, hktest::readFile(path));
        EXPECT_NE(std::string::npos, errors.find(warning)) << errors;
    }
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

// Pipes as inputs: `import <(...)` reads what its writer gives as it comes, and a FIFO with no
// writer ends at once instead of holding the run.
TEST_F(HkCacheStoreTest, AnImportReadsAPipeAsItComesAndWaitsForNoWriter) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    auto importing = std::async(std::launch::async, [&] { return run({"import", fifo}); });
    if (importing.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)); // lets the waiting open go on
        FAIL() << "the import waited for a writer";
    }
    EXPECT_EQ(5, importing.get());
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the reader waits for it
        const std::string line = "host1 ssh-rsa " + Base64A + "\n";
        EXPECT_EQ(ssize_t(line.size()), ::write(ends[1], line.data(), line.size()));
        ::close(ends[1]);
    });
    EXPECT_EQ(0, run({"import", "/dev/fd/" + std::to_string(ends[0])})) << errors;
    writer.join();
    ::close(ends[0]);
    EXPECT_EQ("rsa2@22:host1 " + KeyA + "\n", hktest::readFile(path));
}

// Another user's home (~/.putty/sshhostkeys theirs) and a file of root's beside it, for root.
class OtherUsersFile : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root";
        }
        std::filesystem::create_directories(putty);
        std::filesystem::create_directories(roots);
        hktest::writeFile(file, host1);
        hktest::writeFile(roots + "/sshhostkeys", secret);
        for (const std::string& path : {home, putty, file}) {
            ASSERT_EQ(0, ::chown(path.c_str(), user, user));
        }
    }
    void TearDown() override { store.closeKey(key); }
    PAL::RegistryApi::Status open(bool create = false) {
        return store.openUserFile(home, user, user, create, &key, &reason);
    }

    const uid_t user = 12345;
    hktest::TempDir dir;
    const std::string home = dir.file("home"), putty = home + "/.putty";
    const std::string file = putty + "/sshhostkeys", roots = dir.file("roots");
    const std::string host1 = "rsa2@22:host1 " + KeyA + "\n", secret = "root's own\n";
    PAL::detail::PosixHostKeyStore store;
    PAL::RegistryApi::Handle key = PAL::RegistryApi::NotOpen;
    std::string reason;
};

TEST_F(OtherUsersFile, WhatTheUserSwapsInAfterTheReadIsNeverWritten) {
    // Their directory moved away is still theirs: the change lands there.
    const std::tuple<const char*, std::function<void()>, PAL::RegistryApi::Status> swaps[] = {
        {"file for a link",
         [&] {
             std::filesystem::remove(file);
             std::filesystem::create_symlink(roots + "/sshhostkeys", file);
         },
         PAL::RegistryApi::AccessDenied},
        {"file for a hard link",
         [&] {
             std::filesystem::remove(file);
             std::filesystem::create_hard_link(roots + "/sshhostkeys", file);
         },
         PAL::RegistryApi::AccessDenied},
        {"directory for a link",
         [&] {
             std::filesystem::rename(putty, home + "/moved");
             std::filesystem::create_directory_symlink(roots, putty);
         },
         PAL::RegistryApi::Success},
    };
    for (const auto& [what, swap, status] : swaps) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(home);
        SetUp();
        ASSERT_EQ(PAL::RegistryApi::Success, open()) << reason;
        swap();
        const std::vector<PAL::RegistryApi::ValueText> sets{{"rsa2@22:host2", KeyA}};
        EXPECT_EQ(status, store.applyChanges(key, {}, sets, nullptr));
        EXPECT_EQ(secret, hktest::readFile(roots + "/sshhostkeys"));
        EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(roots));
        store.closeKey(key);
    }
}

TEST_F(OtherUsersFile, AFileTheUserCannotHaveWrittenIsRefusedByName) {
    const std::pair<std::function<void()>, const char*> rows[] = {
        {[&] { ASSERT_EQ(0, ::link(file.c_str(), (home + "/again").c_str())); }, "2 hard links"},
        {[&] { ASSERT_EQ(0, ::chown(file.c_str(), 0, 0)); }, "owned by uid 0"},
        {[&] {
             std::filesystem::remove(file);
             ASSERT_EQ(0, ::mkfifo(file.c_str(), 0600));
         },
         "a FIFO, not a regular file"},
    };
    for (const auto& [arrange, why] : rows) {
        SCOPED_TRACE(why);
        arrange();
        EXPECT_EQ(PAL::RegistryApi::AccessDenied, open());
        EXPECT_NE(std::string::npos, reason.find(why)) << reason;
    }
}

TEST_F(OtherUsersFile, AnImportMakesTheirFileAndDirectoryForThem) {
    std::filesystem::remove_all(putty);
    ASSERT_EQ(PAL::RegistryApi::Success, open(true)) << reason;
    const std::vector<PAL::RegistryApi::ValueText> sets{{"rsa2@22:host1", KeyA}};
    ASSERT_EQ(PAL::RegistryApi::Success, store.applyChanges(key, {}, sets, nullptr));
    EXPECT_EQ(host1, hktest::readFile(file));
    struct stat st {};
    for (const auto& [path, mode] : {std::pair(putty, 040700u), std::pair(file, 0100644u)}) {
        ASSERT_EQ(0, ::lstat(path.c_str(), &st));
        EXPECT_EQ(std::pair(user, mode), std::pair(st.st_uid, unsigned(st.st_mode))) << path;
    }
}

TEST_F(OtherUsersFile, AHomeOthersMayWriteHoldsNothingCachedAndGetsNothingMade) {
    std::filesystem::remove_all(putty);
    ASSERT_EQ(0, ::chmod(home.c_str(), 02775)); // as /var/mail is
    EXPECT_EQ(PAL::RegistryApi::NotFound, open());
    EXPECT_EQ(PAL::RegistryApi::AccessDenied, open(true));
    EXPECT_FALSE(std::filesystem::exists(putty));
}

TEST_F(OtherUsersFile, RootWritesTheBackupInTheDirectoryTheWalkChecked) {
    PAL::OpenKey opened(PAL::platformRegistryApi());
    ASSERT_EQ(0, PAL::openUserHostKeyFile(home, user, user, false, opened.out(), &reason));
    const hkcache::Cache cache{file, &PAL::platformRegistryApi(), {}, {}, user};
    EXPECT_EQ("", hkcache::writeBackupFile(file + ".old", host1, &cache, opened.get()));
    struct stat st {};
    ASSERT_EQ(0, ::stat((file + ".old").c_str(), &st));
    EXPECT_EQ(user, st.st_uid);

    // The user swaps their directory for a link to one of root's that holds a file of the name.
    std::filesystem::rename(putty, home + "/moved");
    std::filesystem::create_directory_symlink(roots, putty);
    EXPECT_EQ("", hkcache::writeBackupFile(file + ".old", secret, &cache, opened.get()));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(roots));
    EXPECT_EQ(secret, hktest::readFile(home + "/moved/sshhostkeys.old"));
}

TEST_F(OtherUsersFile, RootWritesNoBackupInADirectoryNotTheirsAlone) {
    // No owner: root's own cache, a file of the user's that root names (PUTTYSSHHOSTKEYS).
    const std::tuple<const char*, std::function<void()>, std::optional<std::uint32_t>> rows[] = {
        {"writable by its group", [&] { ::chmod(putty.c_str(), 0770); }, std::nullopt},
        {"another user's", [&] { ::chown(putty.c_str(), user + 1, user); }, std::nullopt},
        {"root's, holding another user's file",
         [&] { ::chown(putty.c_str(), 0, 0), ::chown(file.c_str(), user + 1, user); }, user},
    };
    for (const auto& [what, arrange, owner] : rows) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(home);
        SetUp();
        PAL::OpenKey opened(PAL::platformRegistryApi());
        ASSERT_EQ(0, PAL::openUserHostKeyFile(home, user, user, false, opened.out(), &reason));
        arrange();
        const hkcache::Cache cache{file, &PAL::platformRegistryApi(), {}, {}, owner};
        EXPECT_NE("", hkcache::writeBackupFile(file + ".old", host1, &cache, opened.get()));
        EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(putty));
    }
}

} // namespace
