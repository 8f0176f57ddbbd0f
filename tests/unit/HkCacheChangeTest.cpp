// hkcache remove and import in-process on the in-memory registry: what each prints, what the
// cache holds after, the backup, and failures part way.
#include "Backup.h"
#include "Caches.h"
#include "HkCache.h"
#include "Import.h"

#include "support/HkCacheRun.h"
#include "support/InMemoryRegistry.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using hktest::InMemoryRegistry;
using Op = InMemoryRegistry::Op;

using hktest::Base64A;
using hktest::Base64B;
using hktest::CachePath;
using hktest::CurrentUser;
using hktest::FingerprintA;
using hktest::FingerprintB;
using hktest::KeyA;
using hktest::KeyB;
using hktest::Outcome;
using hktest::Users;

// "host9" hashed as ssh-keygen -H does, with the salt 1, 2, ..., 20.
const std::string HashedHost9 = "|1|AQIDBAUGBwgJCgsMDQ4PEBESExQ=|VWR90OAJgO1BfoTXFYPkoaeU/Fo=";

std::string cacheName() {
    return hktest::currentCacheName();
}

// The cache's name in a JSON string (the registry's backslashes escaped).
std::string jsonCacheName() {
    std::string name;
    for (const char c : cacheName()) {
        name += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return name;
}

std::size_t lineCount(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// A backup's lines but each removal's dated "## " line.
std::string keyLines(const std::string& path) {
    std::istringstream text(hktest::readFile(path));
    std::string kept;
    for (std::string line; std::getline(text, line);) {
        kept += line.rfind("## ", 0) == 0 ? "" : line + "\n";
    }
    return kept;
}

class HkCacheChangeTest : public testing::Test {
protected:
    HkCacheChangeTest() { fresh(); }

    // An empty registry in force.
    void fresh() {
        inForce.reset();
        registry = std::make_unique<InMemoryRegistry>();
        inForce = std::make_unique<hktest::ScopedRegistryApi>(*registry);
    }

    void set(const std::string& name, const std::string& data) {
        registry->setValue(CurrentUser, CachePath, name, data);
    }

    void seed() {
        set("rsa2@22:host1", KeyA);
        set("ssh-ed25519@22:host1", "0xzz");
        set("rsa2@2222:host1", KeyB);
        set("rsa2@22:host2", KeyA);
        set("rsa@22:old", KeyA);
    }

    std::string names() const {
        std::string joined;
        for (const std::string& name : registry->valueNames(CurrentUser, CachePath)) {
            joined += (joined.empty() ? "" : " ") + name;
        }
        return joined;
    }

    Outcome run(const std::vector<std::string>& args) { return hktest::runHkCacheWith(args); }

    // A file of the temp directory holding `text`.
    std::string input(const std::string& text, const std::string& name = "input") {
        const std::string path = dir.file(name);
        hktest::writeFile(path, text);
        return path;
    }

    std::unique_ptr<InMemoryRegistry> registry;
    std::unique_ptr<hktest::ScopedRegistryApi> inForce;
    hktest::TempDir dir;
};

TEST_F(HkCacheChangeTest, RemoveTakesEveryKeyAskedForInOneChange) {
    struct Row {
        std::vector<std::string> args;
        std::string out;
        int status;
        std::string left; // names cached after
    };
    const Row rows[] = {
        // Several hosts, every type and port of each.
        {{"host1", "host2"},
         "removed rsa2@22:host1 " + FingerprintA +
             "\nremoved ssh-ed25519@22:host1 -\nremoved rsa2@2222:host1 " + FingerprintB +
             "\nremoved rsa2@22:host2 " + FingerprintA + "\n",
         0,
         "rsa@22:old"},
        // Narrowed by port, by HOST:PORT, and by type (OpenSSH's name); SSH-1 has no fingerprint.
        {{"host1", "--port", "2222"},
         "removed rsa2@2222:host1 " + FingerprintB + "\n",
         0,
         "rsa2@22:host1 ssh-ed25519@22:host1 rsa2@22:host2 rsa@22:old"},
        {{"host1:22", "old"},
         "removed rsa2@22:host1 " + FingerprintA +
             "\nremoved ssh-ed25519@22:host1 -\nremoved rsa@22:old -\n",
         0,
         "rsa2@2222:host1 rsa2@22:host2"},
        {{"host1", "-t", "ssh-rsa"},
         "removed rsa2@22:host1 " + FingerprintA + "\nremoved rsa2@2222:host1 " + FingerprintB +
             "\n",
         0,
         "ssh-ed25519@22:host1 rsa2@22:host2 rsa@22:old"},
        {{"nothere", "host1:2200"},
         "",
         1,
         "rsa2@22:host1 ssh-ed25519@22:host1 rsa2@2222:host1 rsa2@22:host2 rsa@22:old"},
        {{"host2", "--dry-run"},
         "would remove rsa2@22:host2 " + FingerprintA + "\n",
         0,
         "rsa2@22:host1 ssh-ed25519@22:host1 rsa2@2222:host1 rsa2@22:host2 rsa@22:old"},
        {{"old", "--format", "json"},
         "{\"dry_run\": false, \"changes\": [\n  {\"cache\":\"" + jsonCacheName() +
             "\",\"action\":\"removed\",\"name\":\"rsa@22:old\",\"fingerprint\":null,"
             "\"old_fingerprint\":null}\n]}\n",
         0,
         "rsa2@22:host1 ssh-ed25519@22:host1 rsa2@2222:host1 rsa2@22:host2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.front() + " " + row.args.back());
        fresh();
        seed();
        std::vector<std::string> args = {"remove", "--no-backup"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome result = run(args);
        EXPECT_EQ(row.out, result.out);
        EXPECT_EQ(row.status
                      ? "hkcache: no cached key for nothere or host1:2200 in " + cacheName() + "\n"
                      : "",
                  result.err);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ(row.left, names());
        const bool changes = row.status == 0 && row.out.rfind("would", 0) != 0;
        EXPECT_EQ(changes ? 1u : 0u, registry->calls(Op::ApplyChanges));
    }
}

TEST_F(HkCacheChangeTest, BackupHoldsTheRemovedLinesBeforeTheRemovalAndImportPutsThemBack) {
    seed();
    const std::string listed = run({"list", "--format", "putty", "host1"}).out;
    ASSERT_EQ(3u, lineCount(listed));
    // The default place, as the platform has it.
    hktest::ScopedEnv file("PUTTYSSHHOSTKEYS", dir.file("sshhostkeys"));
    hktest::ScopedEnv profile("USERPROFILE", dir.path().string());
    std::string why;
    const std::optional<std::string> backup = hkcache::defaultBackupPath(
        hkcache::Cache{cacheName(), nullptr, {}, {}, std::nullopt}, &why);
    ASSERT_TRUE(backup) << why;
    std::string atRemoval;
    registry->beforeCall(Op::ApplyChanges, [&] { atRemoval = keyLines(*backup); });

    const Outcome removed = run({"remove", "host1"});
    EXPECT_EQ(0, removed.status) << removed.err;
    EXPECT_EQ(listed, atRemoval);
    EXPECT_EQ(listed, keyLines(*backup));
    EXPECT_EQ("rsa2@22:host2 rsa@22:old", names());

    // Undo. Data not understood is left out of the import with a warning.
    const Outcome undone = run({"import", "--format", "putty", *backup});
    EXPECT_EQ(0, undone.status);
    EXPECT_EQ("added rsa2@22:host1 " + FingerprintA + "\nadded rsa2@2222:host1 " + FingerprintB +
                  "\n",
              undone.out);
    EXPECT_NE(std::string::npos, undone.err.find(*backup + ":3: ")) << undone.err;
    EXPECT_EQ("rsa2@22:host2 rsa@22:old rsa2@22:host1 rsa2@2222:host1", names());
}

TEST_F(HkCacheChangeTest, OneBackupOfSeveralCachesPutsEachCachesKeysBack) {
    if (!hkcache::hostsEscaped()) {
        GTEST_SKIP() << "every user's cache is a file of theirs on POSIX";
    }
    const std::string sid = "S-1-5-21-0-0-0-1000";
    const std::string defaultCache = "HKEY_USERS\\.DEFAULT\\" + CachePath;
    const std::string userCache = "HKEY_USERS\\" + sid + "\\" + CachePath;
    registry->setValue(Users, ".DEFAULT\\" + CachePath, "rsa2@22:host1", KeyA);
    registry->setValue(Users, sid + "\\" + CachePath, "rsa2@22:host1", KeyB);
    registry->setValue(Users, sid + "\\" + CachePath, "rsa2@22:host2", KeyB);
    const std::string backup = dir.file("all.old");
    const Outcome removed = run({"remove", "--cache", "all", "--backup", backup, "host1"});
    EXPECT_EQ(defaultCache + ": removed rsa2@22:host1 " + FingerprintA + "\n" + userCache +
                  ": removed rsa2@22:host1 " + FingerprintB + "\n",
              removed.out);
    const std::string first = "# " + defaultCache + "\nrsa2@22:host1 " + KeyA + "\n# " + userCache +
                              "\nrsa2@22:host1 " + KeyB + "\n";
    EXPECT_EQ(first, keyLines(backup));

    const Outcome undone = run({"import", "--cache", "all", "--format", "putty", backup});
    EXPECT_EQ(0, undone.status) << undone.err;
    EXPECT_EQ(removed.out, std::regex_replace(undone.out, std::regex(": added "), ": removed "));

    // One cache of several had keys: its undo still goes to that cache alone.
    ASSERT_EQ(0, run({"remove", "--cache", "all", "--backup", backup, "host2"}).status);
    EXPECT_EQ(first + "# " + userCache + "\nrsa2@22:host2 " + KeyB + "\n", keyLines(backup));
    EXPECT_EQ(userCache + ": added rsa2@22:host2 " + FingerprintB + "\n",
              run({"import", "--cache", "all", "--format", "putty", backup}).out);
    EXPECT_EQ("", run({"import", "--cache", "default", "--format", "putty", backup}).out);
}

TEST_F(HkCacheChangeTest, AProfileThatCannotBeReadIsReportedAndTheOthersAreStillChanged) {
    if (!hkcache::hostsEscaped()) {
        GTEST_SKIP() << "every user's cache is a file of theirs on POSIX";
    }
    const std::string sid = "S-1-5-21-0-0-0-1000";
    registry->setValue(Users, ".DEFAULT\\" + CachePath, "rsa2@22:host1", KeyA);
    registry->setValue(Users, sid + "\\" + CachePath, "rsa2@22:host1", KeyB);
    // The selection opens .DEFAULT's cache first: that profile refuses the caller.
    registry->failOn(Op::Open, PAL::RegistryApi::AccessDenied);
    const Outcome removed = run({"remove", "--cache", "all", "--no-backup", "host1"});
    EXPECT_EQ(2, removed.status);
    EXPECT_EQ("removed rsa2@22:host1 " + FingerprintB + "\n", removed.out);
    EXPECT_NE(std::string::npos, removed.err.find("HKEY_USERS\\.DEFAULT\\")) << removed.err;
    EXPECT_EQ(1u, registry->valueNames(Users, ".DEFAULT\\" + CachePath).size());
}

TEST_F(HkCacheChangeTest, ASectionGoesOnlyToTheCacheItNames) {
    const std::string backup = input("# /elsewhere/sshhostkeys\nrsa2@22:host1 " + KeyA + "\n");
    const Outcome result = run({"import", "--format", "putty", backup});
    EXPECT_EQ("", result.out);
    EXPECT_NE(std::string::npos, result.err.find("its keys left out")) << result.err;
    EXPECT_FALSE(registry->hasKey(CurrentUser, CachePath));
    // A later input's section starts on its own line, after the first input's lines.
    const Outcome two = run({"import", "--format", "putty", input("\n\n", "first"),
                             input("rsa2@22:host2 " + KeyB + "\n", "second"), backup});
    EXPECT_EQ("added rsa2@22:host2 " + FingerprintB + "\n", two.out) << two.err;
    EXPECT_NE(std::string::npos, two.err.find(backup + ":1: no cache selected is /elsewhere/"))
        << two.err;
    fresh();
    // A removal's dated line ends it: what follows is for any cache.
    EXPECT_EQ("added rsa2@22:host2 " + FingerprintB + "\n",
              run({"import", "--format", "putty",
                   input(hktest::readFile(backup) + "## removed\nrsa2@22:host2 " + KeyB + "\n")})
                  .out);
}

TEST_F(HkCacheChangeTest, ValuesThatAreNoHostKeysAreLeftOutOfChangesAndBackups) {
    set("rsa2@2200:host1", KeyB);
    PAL::RegistryApi::Handle key = PAL::RegistryApi::NotOpen;
    ASSERT_EQ(
        0, registry->openKey(PAL::RegistryApi::rootHandle(CurrentUser), CachePath.c_str(), &key));
    const auto store = [&](const std::string& name, std::uint32_t type, const std::string& data) {
        registry->setValue(key, name.c_str(), type,
                           reinterpret_cast<const unsigned char*>(data.c_str()),
                           std::uint32_t(data.size() + 1));
    };
    store("rsa2@22:host1", 3, KeyA); // REG_BINARY
    store("rsa2@2222:host1", 1,
          KeyA + "\n# elsewhere\nrsa2@22:github.com " + KeyB); // a forged line
    registry->closeKey(key);
    const std::string backup = dir.file("backup");
    const Outcome removed = run({"remove", "--backup", backup, "host1"});
    EXPECT_EQ("removed rsa2@2200:host1 " + FingerprintB + "\n", removed.out);
    EXPECT_EQ(3u, lineCount(removed.err)) << removed.err;
    EXPECT_EQ("rsa2@2200:host1 " + KeyB + "\n", keyLines(backup));
    EXPECT_EQ("rsa2@22:host1 rsa2@2222:host1", names());
    // Nor is one replaced by an import.
    const Outcome imported = run({"import", input("host1 ssh-rsa " + Base64A + "\n")});
    EXPECT_EQ("", imported.out);
    EXPECT_EQ(1, imported.status);
}

TEST_F(HkCacheChangeTest, ARemovalWhileOthersChangeTheKeyTakesEveryMatchOnce) {
    for (int i = 1; i <= 5; ++i) {
        set("rsa2@" + std::to_string(i) + ":host1", KeyA);
        set("rsa2@22:other" + std::to_string(i), KeyA);
    }
    // Another program moves the first value to the end while each pass reads the second: every
    // pass skips one value and shows another twice.
    const auto rotate = [this] {
        const std::string first = registry->valueNames(CurrentUser, CachePath).front();
        PAL::RegistryApi::Handle key = PAL::RegistryApi::NotOpen;
        registry->openKey(PAL::RegistryApi::rootHandle(CurrentUser), CachePath.c_str(), &key);
        registry->deleteValue(key, first.c_str());
        registry->closeKey(key);
        set(first, KeyA);
    };
    for (unsigned pass = 0; pass < 8; ++pass) {
        registry->beforeCall(Op::EnumValue, rotate, 2 + pass * 11);
    }
    const Outcome result = run({"remove", "--backup", dir.file("backup"), "host1"});
    EXPECT_EQ(0, result.status) << result.err;
    // Every key removed is in the backup, those found late too.
    EXPECT_EQ(5u, lineCount(keyLines(dir.file("backup"))));
    std::vector<std::string> lines;
    std::istringstream out(result.out);
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(5u, lines.size()) << result.out;
    EXPECT_EQ(lines.end(), std::unique(lines.begin(), lines.end())) << result.out;
    EXPECT_EQ(std::string::npos, names().find("host1")) << names();
}

TEST_F(HkCacheChangeTest, NoBackupNoRemoval) {
    seed();
    const std::string before = names();
    struct Row {
        std::vector<std::string> args;
        int status;
    };
    const Row rows[] = {
        // The backup cannot be written: nothing is removed.
        {{"remove", "host1", "--backup", dir.file("missing") + "/host1.old"}, 2},
        {{"remove", "host1", "--backup", dir.path().string()}, 2},
        // --no-backup and a backup are one or the other.
        {{"remove", "host1", "--no-backup", "--backup", dir.file("x")}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        const Outcome result = run(row.args);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ("", result.out);
        EXPECT_EQ(1u, lineCount(result.err)) << result.err;
        EXPECT_EQ(before, names());
    }
    EXPECT_EQ(0u, registry->calls(Op::ApplyChanges));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // Nothing written where no backup is asked for.
    hktest::ScopedEnv file("PUTTYSSHHOSTKEYS", dir.file("sshhostkeys"));
    hktest::ScopedEnv profile("USERPROFILE", dir.path().string());
    EXPECT_EQ(0, run({"remove", "--no-backup", "host1"}).status);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(HkCacheChangeTest, AFailedRemovalKeepsTheLastBackup) {
    seed();
    const std::string backup = input("previous\n", "keys.old");
    registry->failOn(Op::ApplyChanges, PAL::RegistryApi::AccessDenied);
    EXPECT_EQ(2, run({"remove", "host1", "--backup", backup}).status);
    EXPECT_EQ("previous\n", hktest::readFile(backup));
    const Outcome second = run({"remove", "host2", "--backup", backup});
    EXPECT_EQ(0, second.status) << second.err;
    EXPECT_EQ("previous\nrsa2@22:host2 " + KeyA + "\n", keyLines(backup));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

TEST_F(HkCacheChangeTest, EachRemovalAddsADatedSectionToTheBackupAndImportTakesEachKeyOnce) {
    seed();
    const std::string backup = input("rsa2@22:host1 " + KeyA, "keys.old"); // no line end
    const Outcome first = run({"remove", "host2", "--backup", backup});
    EXPECT_EQ("hkcache: removed keys kept in " + backup + "\n", first.err);
    // Another program caches a key of host1 while it is removed: a later round takes it, into the
    // removal's own section (restore puts back the whole removal).
    registry->beforeCall(
        Op::ApplyChanges, [this] { set("rsa2@2200:host1", KeyB); }, 1);
    ASSERT_EQ(0, run({"remove", "host1", "-t", "rsa2", "--backup", backup}).status);
    const std::regex dated("## removed \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC from (.*)");
    const std::string kept = hktest::readFile(backup);
    const std::string host1 = "rsa2@22:host1 " + KeyA + "\n";
    EXPECT_EQ(host1 + cacheName() + "\nrsa2@22:host2 " + KeyA + "\n" + cacheName() + "\n" + host1 +
                  "rsa2@2222:host1 " + KeyB + "\nrsa2@2200:host1 " + KeyB + "\n",
              std::regex_replace(kept, dated, "$1"));
    const Outcome undone = run({"import", "--format", "putty", backup});
    EXPECT_EQ(0, undone.status) << undone.err;
    EXPECT_EQ("added rsa2@22:host1 " + FingerprintA + "\nadded rsa2@22:host2 " + FingerprintA +
                  "\nadded rsa2@2222:host1 " + FingerprintB + "\nadded rsa2@2200:host1 " +
                  FingerprintB + "\n",
              undone.out);
}

TEST_F(HkCacheChangeTest, RestorePutsBackTheNewestSectionAloneOrTheOnesAskedFor) {
    const std::string backup = dir.file("keys.old");
    set("rsa2@22:host1", KeyA);
    set("rsa2@2222:host1", KeyA);
    ASSERT_EQ(0, run({"remove", "host1", "--backup", backup}).status);
    set("rsa2@22:host1", KeyB); // the rebuilt server's new key
    set("rsa2@22:host2", KeyA);
    set("rsa2@2222:host2", "0xzz");
    ASSERT_EQ(0, run({"remove", "host2", "--backup", backup}).status);
    const std::regex dated("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC");
    EXPECT_EQ("1\tT\t1\t" + cacheName() + "\n2\tT\t2\t" + cacheName() + "\n",
              std::regex_replace(run({"restore", "--list", backup}).out, dated, "T"));
    EXPECT_NE(std::string::npos, run({"restore", "--list", "-f", "json", backup})
                                     .out.find("{\"section\":2,\"removed\":\"20"));
    const Outcome newest = run({"restore", backup});
    EXPECT_EQ(0, newest.status) << newest.err;
    EXPECT_EQ("added rsa2@22:host2 " + FingerprintA + "\n", newest.out);
    EXPECT_NE(std::string::npos, newest.err.find(backup + ":6: ")) << newest.err; // the file's
    // The older section holds host1's rotated key: left out, whether asked for alone or with all.
    EXPECT_EQ(1, run({"restore", "--section", "2", backup}).status);
    EXPECT_EQ(1, run({"restore", "--all", backup}).status);
    EXPECT_EQ(2, run({"restore", "--section", "3", backup}).status);
    EXPECT_EQ("rsa2@22:host1 rsa2@22:host2 rsa2@2222:host1", names());
}

TEST_F(HkCacheChangeTest, ImportAddsLeavesIdenticalAndKeepsConflictsUnlessReplaced) {
    const std::string keys = "host1 ssh-rsa " + Base64A +                        // identical
                             "\n[host1]:2222 ssh-rsa " + Base64A +               // conflict
                             "\nhost2,host3 ssh-rsa " + Base64B +                // two added
                             "\n# comment\n\n*.example.com ssh-rsa " + Base64B + // a pattern
                             "\n@revoked host4 ssh-rsa " + Base64B + "\nhost3 ssh-rsa " + Base64B +
                             "\n"; // repeated, the same
    const std::string conflict =
        "hkcache: warning: " + cacheName() + ": rsa2@2222:host1: cached key " + FingerprintB +
        " differs from the imported " + FingerprintA + ": kept (--replace replaces it)\n";
    const std::string adds = "add rsa2@22:host2 " + FingerprintB + "\n";
    const std::string adds3 = "add rsa2@22:host3 " + FingerprintB + "\n";
    const std::string warnings =
        "hkcache: warning: " + dir.file("input") +
        ":6: wildcard pattern left out\nhkcache: warning: " + dir.file("input") +
        ":7: marker @revoked left out\n";
    const std::string replaces =
        "replace rsa2@2222:host1 " + FingerprintB + " -> " + FingerprintA + "\n";
    struct Row {
        std::vector<std::string> flags;
        std::string out;
        std::string err;
        int status;
        std::string host1On2222; // after
    };
    const Row rows[] = {
        {{}, "added " + adds.substr(4) + "added " + adds3.substr(4), warnings + conflict, 1, KeyB},
        {{"--replace", "--dry-run"},
         "would " + replaces + "would " + adds + "would " + adds3,
         warnings,
         0,
         KeyB},
        {{"--replace", "--dry-run", "--output-format", "json"},
         "{\"dry_run\": true, \"changes\": [\n  {\"cache\":\"" + jsonCacheName() +
             "\",\"action\":\"would replace\",\"name\":\"rsa2@2222:host1\",\"fingerprint\":\"" +
             FingerprintA + "\",\"old_fingerprint\":\"" + FingerprintB + "\"},\n  {\"cache\":\"" +
             jsonCacheName() +
             "\",\"action\":\"would add\",\"name\":\"rsa2@22:host2\",\"fingerprint\":\"" +
             FingerprintB + "\",\"old_fingerprint\":null},\n  {\"cache\":\"" + jsonCacheName() +
             "\",\"action\":\"would add\",\"name\":\"rsa2@22:host3\",\"fingerprint\":\"" +
             FingerprintB + "\",\"old_fingerprint\":null}\n]}\n",
         warnings,
         0,
         KeyB},
        {{"--replace"},
         "replaced " + replaces.substr(8) + "added " + adds.substr(4) + "added " + adds3.substr(4),
         warnings,
         0,
         KeyA},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        fresh();
        set("rsa2@22:host1", KeyA);
        set("rsa2@2222:host1", KeyB);
        std::vector<std::string> args = {"import", input(keys)};
        args.insert(args.end(), row.flags.begin(), row.flags.end());
        const Outcome result = run(args);
        EXPECT_EQ(row.out, result.out);
        EXPECT_EQ(row.err, result.err);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ("rsa2@2222:host1 " + row.host1On2222 + "\n",
                  run({"list", "-f", "putty", "host1:2222"}).out);
    }
    // After the replace, the same input is all cached already.
    const Outcome again = run({"import", "--replace", input(keys)});
    EXPECT_EQ("", again.out);
    EXPECT_EQ(0, again.status);

    // Two different keys for one name: the first is imported, the second is a conflict.
    fresh();
    const Outcome twice =
        run({"import", input("host5 ssh-rsa " + Base64A + "\nhost5 ssh-rsa " + Base64B + "\n")});
    EXPECT_EQ("added rsa2@22:host5 " + FingerprintA + "\n", twice.out);
    EXPECT_EQ("hkcache: warning: " + dir.file("input") +
                  ":2: rsa2@22:host5: a different key for it is on line 1: left out\n",
              twice.err);
    EXPECT_EQ(1, twice.status);
    EXPECT_EQ(1u, registry->calls(Op::ApplyChanges));

    // A dry run, or an input with no key, makes no missing key.
    fresh();
    EXPECT_EQ(0, run({"import", "--dry-run", input("host5 ssh-rsa " + Base64A + "\n")}).status);
    EXPECT_EQ(5, run({"import", input("# nothing\n")}).status);
    EXPECT_FALSE(registry->hasKey(CurrentUser, CachePath));
}

TEST_F(HkCacheChangeTest, AnImportOfManyKeysFindsANameAgainAfterThousandsOfOthers) {
    std::string keys;
    for (int i = 0; i < 3000; ++i) {
        keys += "host" + std::to_string(i) + " ssh-rsa " + Base64A + "\n";
    }
    keys += "host7 ssh-rsa " + Base64B + "\nhost2999 ssh-rsa " + Base64A + "\n";
    const Outcome result = run({"import", input(keys)});
    EXPECT_EQ(3000u, lineCount(result.out));
    EXPECT_EQ("hkcache: warning: " + dir.file("input") +
                  ":3001: rsa2@22:host7: a different key for it is on line 8: left out\n",
              result.err);
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(3000u, registry->valueNames(CurrentUser, CachePath).size());
}

TEST_F(HkCacheChangeTest, PuttyLinesKeepTheirCommentsAndAreNarrowedByHostAndPort) {
    seed();
    struct Row {
        std::vector<std::string> args;
        std::string lines;
        std::string out;
        std::string warned; // part of what standard error says; empty: nothing
        int status;
    };
    const Row rows[] = {
        // "#" and no blank: a comment, not a cache's section.
        {{},
         "#rsa2@22:host5 " + KeyB + "\nrsa2@22:host5 " + KeyA + "\n",
         "added rsa2@22:host5 " + FingerprintA + "\n",
         "",
         0},
        {{"--host", "[host6]:2222"},
         "rsa2@22:host6 " + KeyA + "\nrsa2@2222:host6 " + KeyB + "\n",
         "added rsa2@2222:host6 " + FingerprintB + "\n",
         "",
         0},
        // SSH-1 keys have no wire form to compare: their numbers differ.
        {{}, "rsa@22:old " + KeyB + "\n", "", ": rsa@22:old: cached key ", 1},
        // Nor a fingerprint for a pin to match, however loosely compared.
        {{"--fingerprint", FingerprintA}, "rsa@22:new " + KeyA + "\n", "", "-: not pinned", 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines);
        std::vector<std::string> args = {"import", "--format", "putty", input(row.lines)};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome result = run(args);
        EXPECT_EQ(row.out, result.out);
        EXPECT_EQ(row.status, result.status);
        EXPECT_EQ(row.warned.empty(), result.err.empty()) << result.err;
        EXPECT_NE(std::string::npos, result.err.find(row.warned)) << result.err;
    }
}

TEST_F(HkCacheChangeTest, ARegFileOfTheCacheImportsItBack) {
    seed();
    // A host that is not ASCII, escaped in the file as PuTTY for Windows stores it.
    const std::string cafe = hkcache::hostsEscaped() ? "rsa2@22:caf%C3%A9" : "rsa2@22:caf\xc3\xa9";
    set(cafe, KeyA);
    const Outcome listed = run({"list", "--format", "reg"});
    fresh();
    // Data not understood is left out, as from PuTTY's lines.
    const Outcome imported = run({"import", "--format", "reg", input(listed.out)});
    EXPECT_EQ(0, imported.status) << imported.err;
    EXPECT_EQ(5u, lineCount(imported.out));
    EXPECT_EQ("rsa2@22:host1 rsa2@2222:host1 rsa2@22:host2 rsa@22:old " + cafe, names());
}

TEST_F(HkCacheChangeTest, ACacheThatCannotBeReadIsLeftAsItWas) {
    seed();
    const std::string before = names();
    const std::vector<std::string> runs[] = {
        {"remove", "--backup", dir.file("backup"), "host1"},
        {"import", "--replace", input("host1 ssh-rsa " + Base64B + "\nhost5 ssh-rsa " + Base64A)},
    };
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args.front());
        registry->failOn(Op::EnumValue, PAL::RegistryApi::AccessDenied, 2);
        const Outcome result = run(args);
        EXPECT_EQ(2, result.status);
        EXPECT_EQ("", result.out);
        EXPECT_EQ("hkcache: " + cacheName() + ": Permission denied\n", result.err);
        EXPECT_EQ(before, names());
    }
    EXPECT_EQ(0u, registry->calls(Op::ApplyChanges));
    EXPECT_FALSE(std::filesystem::exists(dir.file("backup")));
}

TEST_F(HkCacheChangeTest, HashedNamesAndPublicKeysNeedTheHost) {
    const std::string hashed = input(HashedHost9 + " ssh-rsa " + Base64A + "\n", "hashed");
    const std::string pub = input("ssh-rsa " + Base64B + " root@host9\n", "pub");
    struct Row {
        std::vector<std::string> args;
        std::string out;
        std::size_t errLines;
        int status;
    };
    const Row rows[] = {
        {{hashed}, "", 2, 5},
        {{hashed, "--host", "HOST9"}, "added rsa2@22:HOST9 " + FingerprintA + "\n", 0, 0},
        {{hashed, "--host", "host8"}, "", 1, 5},
        {{hashed, "--host", "[host9]:2222"}, "", 1, 5},
        {{pub}, "", 2, 5},
        {{pub, "--host", "[host9]:2222"}, "added rsa2@2222:host9 " + FingerprintB + "\n", 0, 0},
        // Several files and hosts; a .pub line is for one host only.
        {{pub, hashed, "--host", "h8", "--host", "host9"}, "", 1, 2},
        {{input("", "empty"), hashed, "--host", "h8", "--host", "host9"},
         "added rsa2@22:host9 " + FingerprintA + "\n",
         0,
         0},
        {{hashed, "--host", "host9", "--fingerprint", FingerprintB}, "", 2, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        fresh();
        std::vector<std::string> args = {"import"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome result = run(args);
        EXPECT_EQ(row.out, result.out);
        EXPECT_EQ(row.errLines, lineCount(result.err)) << result.err;
        EXPECT_EQ(row.status, result.status);
    }
}

TEST_F(HkCacheChangeTest, NamesAreWrittenAndComparedAsThePlatformsPuttyDoes) {
    const bool escaped = hkcache::hostsEscaped();
    const bool folded = hkcache::namesIgnoreCase();
    // (The in-memory registry itself always folds case, as the registry does.)
    set("rsa2@22:HOST1", KeyB);
    const Outcome result =
        run({"import", input("h\xe9st ssh-rsa " + Base64A + "\nhost1 ssh-rsa " + Base64A + "\n")});
    const std::string stored = escaped ? "rsa2@22:h%E9st" : "rsa2@22:h\xe9st";
    // A byte that is not UTF-8 is shown escaped.
    const std::string shown = escaped ? stored : "rsa2@22:h\\xe9st";
    EXPECT_EQ("added " + shown + " " + FingerprintA + "\n" +
                  (folded ? "" : "added rsa2@22:host1 " + FingerprintA + "\n"),
              result.out);
    EXPECT_EQ(folded ? 1 : 0, result.status);
    EXPECT_NE(std::string::npos, names().find(stored));
    // Removed by the host as typed.
    EXPECT_EQ("removed " + shown + " " + FingerprintA + "\n",
              run({"remove", "--no-backup", "h\xe9st"}).out);
    // DEL, as any control byte, is printed escaped.
    const std::string del = std::string("rsa2@22:a") + (escaped ? "%7F " : "\\x7f ") + FingerprintA;
    EXPECT_EQ("added " + del + "\n",
              run({"import", "-f", "putty", input("rsa2@22:a\x7f " + KeyA + "\n")}).out);
    EXPECT_EQ("would remove " + del + "\n", run({"remove", "--dry-run", "a\x7f"}).out);
    EXPECT_EQ("removed " + del + "\n", run({"remove", "--no-backup", "a\x7f"}).out);
    // The empty host plink caches for some targets: listed, and removed by an empty argument.
    set("rsa2@65535:", KeyA);
    EXPECT_EQ("rsa2@65535:\"\" rsa2 8 " + FingerprintA + "\n", run({"list", ""}).out);
    EXPECT_EQ("removed rsa2@65535:\"\" " + FingerprintA + "\n",
              run({"remove", "--no-backup", ""}).out);
}

TEST_F(HkCacheChangeTest, AFailurePartWayPrintsWhatWasChanged) {
    seed();
    registry->failOn(Op::DeleteValue, 5, 2);
    const Outcome removed = run({"remove", "--no-backup", "host2", "old"});
    EXPECT_EQ("removed rsa2@22:host2 " + FingerprintA + "\n", removed.out);
    EXPECT_EQ("hkcache: " + cacheName() + ": Permission denied\n", removed.err);
    EXPECT_EQ(2, removed.status);

    registry->failOn(Op::SetValue, 5, 2);
    const Outcome imported = run({"import", input("host5,host6 ssh-rsa " + Base64A + "\n")});
    EXPECT_EQ("added rsa2@22:host5 " + FingerprintA + "\n", imported.out);
    EXPECT_EQ("hkcache: " + cacheName() + ": Permission denied\n", imported.err);
    EXPECT_EQ(2, imported.status);

    // Memory running out is a failure like any other.
    const std::string before = names();
    for (const Op op : {Op::EnumValue, Op::SetValue}) {
        registry->beforeCall(op, [] { throw std::bad_alloc(); });
        const Outcome failed = run({"import", input("host7 ssh-rsa " + Base64A + "\n")});
        EXPECT_EQ("", failed.out);
        EXPECT_EQ("hkcache: out of memory\n", failed.err);
        EXPECT_EQ(2, failed.status);
        EXPECT_EQ(before, names());
    }
}

TEST_F(HkCacheChangeTest, AKeyStoredAgainDuringTheRemovalIsReported) {
    seed();
    // Before the second delete, PuTTY stores the first key again.
    registry->beforeCall(
        Op::DeleteValue, [this] { set("rsa2@22:host1", KeyA); }, 2);
    const Outcome result = run({"remove", "--no-backup", "host1", "-t", "rsa2"});
    EXPECT_EQ(2, result.status);
    EXPECT_EQ(2u, lineCount(result.out));
    EXPECT_EQ("hkcache: " + cacheName() + ": rsa2@22:host1: still cached after its removal\n",
              result.err);
}

TEST_F(HkCacheChangeTest, BadInputChangesNothing) {
    seed();
    const std::string before = names();
    const std::string good = "host5 ssh-rsa " + Base64A + "\n";
    struct Row {
        std::string path;
        std::string reason;
    };
    const Row rows[] = {
        {input(good + "host6 ssh-rsa \x01\n", "binary"), "not a text file"},
        {dir.file("missing"), ""},
        {dir.path().string(), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const Outcome result = run({"import", row.path});
        EXPECT_EQ(2, result.status);
        EXPECT_EQ("", result.out);
        EXPECT_EQ(0u, result.err.rfind("hkcache: " + row.path + ": " + row.reason, 0))
            << result.err;
        EXPECT_EQ(1u, lineCount(result.err));
    }
    std::ostringstream out;
    std::ostringstream err;
    hkcache::Diagnostics diagnostics(err);
    hkcache::ImportOptions tooLong;
    tooLong.inputs = {input(good, "long")};
    tooLong.maxBytes = good.size() - 1;
    EXPECT_EQ(hkcache::ExitStatus::Failure, hkcache::importKeys(tooLong, out, diagnostics));
    EXPECT_EQ("hkcache: " + tooLong.inputs[0] + ": longer than " + std::to_string(good.size() - 1) +
                  " bytes: nothing imported\n",
              err.str());
    // The limit is of all the inputs.
    tooLong.inputs = {input(good, "half"), input(good, "half")};
    tooLong.maxBytes = good.size() * 2 - 1;
    hkcache::Diagnostics again(err);
    EXPECT_EQ(hkcache::ExitStatus::Failure, hkcache::importKeys(tooLong, out, again));
    EXPECT_EQ(0u, registry->calls(Op::ApplyChanges));
    EXPECT_EQ(before, names());

    // A malformed line is left out, the rest imported.
    const Outcome partly = run({"import", input("host6 ssh-rsa AAAA\n" + good)});
    EXPECT_EQ("added rsa2@22:host5 " + FingerprintA + "\n", partly.out);
    EXPECT_EQ(0u, partly.err.find("hkcache: warning: " + dir.file("input") + ":1: malformed"))
        << partly.err;
    EXPECT_EQ(0, partly.status);
    // An input of exactly the limit is read.
    tooLong.inputs = {input("host7 ssh-rsa " + Base64A + "\n", "exact")};
    tooLong.maxBytes = good.size();
    hkcache::Diagnostics atLimit(err);
    EXPECT_EQ(hkcache::ExitStatus::Done, hkcache::importKeys(tooLong, out, atLimit)) << err.str();
}

} // namespace

TEST_F(HkCacheChangeTest, AnAnsibleTaskPredictsChangesOnceAndRefusesBadArguments) {
    const std::string task = R"({"name": "host5", "key": "ssh-rsa )" + Base64A +
                             R"(", "port": null, "_ansible_version": "2.14.18", )";
    struct Row {
        std::string args;
        std::string result; // the start of the JSON result
        std::string names;  // in the cache after
    };
    const Row rows[] = {
        {task + R"("_ansible_check_mode": true})", R"({"changed":true,)", ""},
        {task + R"("_ansible_check_mode": false})", R"({"changed":true,)", "rsa2@22:host5"},
        {task + R"("_ansible_diff": true})", R"({"changed":false,)", "rsa2@22:host5"},
        {task + R"("colour": "red"})",
         R"({"changed":false,"failed":true,"msg":"unsupported parameter colour)", "rsa2@22:host5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        const Outcome result = run({"ansible", input(row.args)});
        EXPECT_EQ(0u, result.out.rfind(row.result, 0)) << result.out;
        EXPECT_EQ(row.names, names());
    }
}
