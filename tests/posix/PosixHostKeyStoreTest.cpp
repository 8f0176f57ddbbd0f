// The host-key store through the registry seam: which key it is, where the file is, how the
// file reads as values, and what a delete leaves behind, byte for byte.
#include "HostKeyStoreTesting.h"

#include "PAL/Exception.h"
#include "PAL/LogUtil.h"
#include "PAL/Registry.h"

#include "support/ScopedEnv.h"
#include "support/ScopedLogSettings.h"
#include "support/TempDir.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace {

using hktest::currentUser;
using hktest::readFile;
using hktest::writeFile;
using PAL::RegistryApi;
using PAL::detail::HostKeyLocationInputs;
using PAL::detail::locateHostKeyFile;
using PAL::detail::PosixHostKeyStore;
using Handle = RegistryApi::Handle;
using Status = RegistryApi::Status;

const char* const CachePath = hktest::cachePath();

class HostKeyFile : public ::testing::Test {
protected:
    Handle open() {
        Handle key = RegistryApi::NotOpen;
        EXPECT_EQ(RegistryApi::Success, store.openKey(currentUser(), CachePath, &key));
        return key;
    }
    std::uint32_t valueCount(Handle key) {
        std::uint32_t count = 0;
        EXPECT_EQ(RegistryApi::Success, store.queryInfoKey(key, nullptr, nullptr, nullptr, &count,
                                                           nullptr, nullptr, nullptr));
        return count;
    }
    std::vector<std::string> names() { return hktest::listNames(store); }
    Status remove(const char* name) { return hktest::deleteName(store, name); }

    hktest::TempDir dir;
    std::string path = dir.file("sshhostkeys");
    hktest::ScopedEnv env{"PUTTYSSHHOSTKEYS", path};
    PosixHostKeyStore store;
};

// --- Which key is the file -------------------------------------------------------------

struct OpenRow {
    std::uint32_t root;
    const char* subKey;
    Status expected;
};

void PrintTo(const OpenRow& row, std::ostream* out) {
    *out << std::hex << row.root << " " << row.subKey;
}

class WhichKey : public HostKeyFile, public ::testing::WithParamInterface<OpenRow> {};

TEST_P(WhichKey, OnlyTheCurrentUsersCacheExists) {
    writeFile(path, "rsa2@22:host1 0x1,0x2\n");
    const OpenRow& row = GetParam();
    Handle key = 0;
    EXPECT_EQ(row.expected, store.openKey(RegistryApi::rootHandle(row.root), row.subKey, &key));
    if (row.expected == RegistryApi::Success) {
        EXPECT_EQ(1u, valueCount(key));
        EXPECT_EQ(RegistryApi::Success, store.closeKey(key));
    } else {
        EXPECT_EQ(RegistryApi::NotOpen, key);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, WhichKey,
                         ::testing::Values(
                             // The current user's cache, as hkprune names it.
                             OpenRow{0x80000001, "Software\\SimonTatham\\PuTTY\\SshHostKeys", 0},
                             // Key paths compare case-insensitively.
                             OpenRow{0x80000001, "software\\simontatham\\putty\\sshhostkeys", 0},
                             OpenRow{0x80000001, "SOFTWARE\\SIMONTATHAM\\PUTTY\\SSHHOSTKEYS", 0},
                             // The default user's cache does not exist on POSIX.
                             OpenRow{0x80000003,
                                     ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys", 2},
                             OpenRow{0x80000003, "Software\\SimonTatham\\PuTTY\\SshHostKeys", 2},
                             OpenRow{0x80000002, "Software\\SimonTatham\\PuTTY\\SshHostKeys", 2},
                             // Neither do the keys above it, below it, or spelt otherwise.
                             OpenRow{0x80000001, "Software\\SimonTatham\\PuTTY", 2},
                             OpenRow{0x80000001, "Software\\SimonTatham\\PuTTY\\SshHostKeys\\x", 2},
                             OpenRow{0x80000001, "Software/SimonTatham/PuTTY/SshHostKeys", 2},
                             OpenRow{0x80000001, "Software\\SimonTatham\\PuTTY\\SshHostKey", 2},
                             OpenRow{0x80000001, "", 2}));

// A run whose program never named the cache is told so, not shown an empty cache.
TEST_F(HostKeyFile, NoKeyIsServedUntilTheProgramNamesTheCache) {
    writeFile(path, "rsa2@22:host1 0x1,0x2\n");
    PAL::setHostKeyCachePath("");
    Handle key = 0;
    const Status status = store.openKey(currentUser(), CachePath, &key);
    hktest::nameTheCache();
    EXPECT_EQ(RegistryApi::NotReady, status);
    EXPECT_EQ(RegistryApi::NotOpen, key);
}

TEST_F(HostKeyFile, ParentsThatAreNotOpenAreInvalidHandles) {
    Handle key = 0;
    EXPECT_EQ(RegistryApi::InvalidHandle, store.openKey(RegistryApi::NotOpen, CachePath, &key));
    EXPECT_EQ(RegistryApi::NotOpen, key);
    EXPECT_EQ(RegistryApi::InvalidHandle, store.openKey(0x12345, "", &key));
}

// hkprune's two caches as it opens them: through PAL::RegistryKey on the default backend.
TEST_F(HostKeyFile, TheDefaultUsersCacheCannotBeOpenedAndTheCurrentUsersIsTheFile) {
    writeFile(path, "rsa2@22:host1 0x1,0x2\nssh-ed25519@22:host2 0x3\n");
    hktest::ScopedLogSettings quiet; // the failed open logs; with no log file, nowhere
    PAL::setLogFileName("");
    PAL::setTraceFileName("");
    try {
        PAL::RegistryKey cache(PAL::RegistryKeyDescriptor(
            PAL::RegistryConstants::Users, ".DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys"));
        ADD_FAILURE() << "the default user's cache opened";
    } catch (const PAL::RegistryKeyError& e) {
        EXPECT_EQ(2, e.getCode());
    }
    PAL::RegistryKey cache(
        PAL::RegistryKeyDescriptor(PAL::RegistryConstants::CurrentUser, CachePath));
    EXPECT_EQ((std::vector<std::string>{"rsa2@22:host1", "ssh-ed25519@22:host2"}),
              cache.getValueNames());
    EXPECT_EQ(RegistryApi::Success, cache.deleteValue("rsa2@22:host1"));
    EXPECT_EQ("ssh-ed25519@22:host2 0x3\n", readFile(path));
}

// --- Where the file is -------------------------------------------------------------------

struct LocationRow {
    const char* what;
    HostKeyLocationInputs in;
    std::set<std::string> existing;
    std::string expected;
};

void PrintTo(const LocationRow& row, std::ostream* out) {
    *out << row.what;
}

std::optional<std::string> set(const char* value) {
    return std::string(value);
}

class WhereIsTheFile : public ::testing::TestWithParam<LocationRow> {};

// Rows as PuTTY 0.78's plink was seen to look (strace of its access() and open() calls).
TEST_P(WhereIsTheFile, AsPuTTYLooksForIt) {
    const LocationRow& row = GetParam();
    auto exists = [&](const std::string& p) { return row.existing.count(p) > 0; };
    EXPECT_EQ(row.expected, locateHostKeyFile(row.in, exists)) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WhereIsTheFile,
    ::testing::Values(
        LocationRow{"PUTTYSSHHOSTKEYS names the file itself",
                    {set("/k/keys"), set("/d"), set("/x"), set("/h"), set("/p")},
                    {"/x/putty", "/h/.putty"},
                    "/k/keys"},
        LocationRow{"PUTTYSSHHOSTKEYS set but empty: a file that is never there",
                    {set(""), {}, {}, set("/h"), set("/p")},
                    {"/h/.putty"},
                    ""},
        LocationRow{"PUTTYDIR names the directory",
                    {{}, set("/d"), set("/x"), set("/h"), set("/p")},
                    {"/x/putty", "/h/.putty"},
                    "/d/sshhostkeys"},
        LocationRow{"PUTTYDIR set but empty", {{}, set(""), {}, set("/h"), {}}, {}, "/sshhostkeys"},
        LocationRow{"XDG_CONFIG_HOME/putty when it exists",
                    {{}, {}, set("/x"), set("/h"), set("/p")},
                    {"/x/putty", "/h/.putty", "/h/.config/putty"},
                    "/x/putty/sshhostkeys"},
        LocationRow{"~/.config/putty wins over ~/.putty",
                    {{}, {}, {}, set("/h"), set("/p")},
                    {"/h/.config/putty", "/h/.putty"},
                    "/h/.config/putty/sshhostkeys"},
        LocationRow{"an empty XDG_CONFIG_HOME counts as unset",
                    {{}, {}, set(""), set("/h"), set("/p")},
                    {"/h/.config/putty"},
                    "/h/.config/putty/sshhostkeys"},
        LocationRow{"with XDG_CONFIG_HOME set, ~/.config/putty is not looked at",
                    {{}, {}, set("/x"), set("/h"), set("/p")},
                    {"/h/.config/putty"},
                    "/h/.putty/sshhostkeys"},
        LocationRow{"~/.putty when there is no config directory",
                    {{}, {}, {}, set("/h"), set("/p")},
                    {"/h/.putty", "/p/.putty"},
                    "/h/.putty/sshhostkeys"},
        LocationRow{"the password database's home when HOME has no .putty",
                    {{}, {}, {}, set("/h"), set("/p")},
                    {"/p/.putty"},
                    "/p/.putty/sshhostkeys"},
        LocationRow{
            "/.putty last", {{}, {}, {}, set("/h"), set("/p")}, {"/.putty"}, "/.putty/sshhostkeys"},
        LocationRow{"nothing there: ~/.putty",
                    {{}, {}, {}, set("/h"), set("/p")},
                    {},
                    "/h/.putty/sshhostkeys"},
        LocationRow{"no HOME: the password database's home, config first",
                    {{}, {}, {}, {}, set("/p")},
                    {"/p/.config/putty", "/p/.putty"},
                    "/p/.config/putty/sshhostkeys"},
        LocationRow{
            "no HOME, nothing there", {{}, {}, {}, {}, set("/p")}, {}, "/p/.putty/sshhostkeys"},
        LocationRow{"HOME set but empty is the root directory",
                    {{}, {}, {}, set(""), set("/p")},
                    {},
                    "/.putty/sshhostkeys"},
        LocationRow{"no home at all", {}, {}, "/.putty/sshhostkeys"}));

// --- Reading -----------------------------------------------------------------------------

TEST_F(HostKeyFile, AMissingFileIsAMissingKey) {
    Handle key = 0;
    EXPECT_EQ(RegistryApi::NotFound, store.openKey(currentUser(), CachePath, &key));
    EXPECT_EQ(RegistryApi::NotOpen, key);
}

TEST_F(HostKeyFile, ADirectoryInItsPlaceIsDenied) {
    std::filesystem::create_directory(path);
    Handle key = 0;
    EXPECT_EQ(RegistryApi::AccessDenied, store.openKey(currentUser(), CachePath, &key));
    EXPECT_EQ(RegistryApi::NotOpen, key);
}

TEST_F(HostKeyFile, AnUnreadableFileIsDenied) {
    writeFile(path, "a@1:h k\n");
    hktest::FaultyFiles files;
    PosixHostKeyStore faulty(files);
    files.failOn(hktest::Call::OpenFile, EACCES);
    Handle key = 0;
    EXPECT_EQ(RegistryApi::AccessDenied, faulty.openKey(currentUser(), CachePath, &key));
    files.failOn(hktest::Call::Read, EIO);
    EXPECT_NE(RegistryApi::Success, faulty.openKey(currentUser(), CachePath, &key));
    // Root reads whatever the mode says: the owner's own file is tried by its owner.
    const hktest::Identity owner = hktest::unprivileged();
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, ::chown(path.c_str(), owner.user, owner.group));
    EXPECT_TRUE(hktest::runUnprivileged(
        [&] {
            ASSERT_EQ(RegistryApi::Success, store.openKey(currentUser(), CachePath, &key));
            store.closeKey(key);
            ASSERT_EQ(0, ::chmod(path.c_str(), 0));
            EXPECT_EQ(RegistryApi::AccessDenied, store.openKey(currentUser(), CachePath, &key));
        },
        owner));
}

const std::string Mixed = "rsa2@22:host1 0xAB,0xCD\n"                // LF
                          "ssh-ed25519@2222:127.0.0.1 0x12,0x34\r\n" // CRLF
                          "\n"                                       // empty: no value
                          "\r\n"                                     // empty too
                          "no-space-line\n"                          // all name, no data
                          " leading-space data\n"                    // an empty name
                          "# rsa2@22:host1 x\n"                      // a comment is a name
                          "dup@1:h a\n"                              //
                          "dup@1:h b";                               // no final newline

TEST_F(HostKeyFile, EachNonEmptyLineIsAValueInFileOrder) {
    writeFile(path, Mixed);
    EXPECT_EQ((std::vector<std::string>{"rsa2@22:host1", "ssh-ed25519@2222:127.0.0.1",
                                        "no-space-line", "", "#", "dup@1:h", "dup@1:h"}),
              names());
}

TEST_F(HostKeyFile, TheInfoQueryCountsValuesAndTheLongestName) {
    writeFile(path, Mixed);
    Handle key = open();
    std::uint32_t all[6] = {99, 99, 99, 99, 99, 99};
    ASSERT_EQ(RegistryApi::Success, store.queryInfoKey(key, &all[0], &all[1], &all[2], &all[3],
                                                       &all[4], &all[5], nullptr));
    EXPECT_EQ(0u, all[0]);
    EXPECT_EQ(0u, all[1]);
    EXPECT_EQ(0u, all[2]);
    EXPECT_EQ(7u, all[3]);
    EXPECT_EQ(std::strlen("ssh-ed25519@2222:127.0.0.1"), all[4]);
    EXPECT_EQ(std::strlen("leading-space data") + 1, all[5]) << "the longest data and its NUL";
    EXPECT_EQ(RegistryApi::Success, store.queryInfoKey(key, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr));
    store.closeKey(key);
}

TEST_F(HostKeyFile, ValuesAreStringsHoldingTheRestOfTheLine) {
    writeFile(path, Mixed);
    Handle key = open();
    char name[64];
    unsigned char data[64];
    std::uint32_t length = sizeof name;
    std::uint32_t type = 0;
    std::uint32_t size = sizeof data;
    ASSERT_EQ(RegistryApi::Success, store.enumValue(key, 1, name, &length, &type, data, &size));
    EXPECT_EQ("ssh-ed25519@2222:127.0.0.1", std::string(name));
    EXPECT_EQ(26u, length);
    EXPECT_EQ(1u, type); // REG_SZ
    EXPECT_EQ(10u, size);
    EXPECT_EQ(std::string("0x12,0x34", 10), std::string(reinterpret_cast<char*>(data), size));

    length = sizeof name;
    size = 0;
    EXPECT_EQ(RegistryApi::Success,
              store.enumValue(key, 2, name, &length, nullptr, nullptr, &size));
    EXPECT_EQ(1u, size) << "no-space-line has empty data";
    store.closeKey(key);
}

// PuTTY never writes a name holding a NUL; listed, it would be cut short and never found.
TEST_F(HostKeyFile, ANameHoldingANulIsNoValueAndLongLinesAreReadAsTheyAre) {
    const std::string longName(1 << 20, 'n');
    const std::string before = std::string("a\0b x\0y\n", 8) + longName + "\nc d";
    writeFile(path, before);
    Handle key = open();
    std::uint32_t count = 0;
    std::uint32_t longest = 0;
    ASSERT_EQ(RegistryApi::Success, store.queryInfoKey(key, nullptr, nullptr, nullptr, &count,
                                                       &longest, nullptr, nullptr));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(longName.size(), longest);
    std::vector<char> name(longest + 1);
    std::uint32_t length = longest + 1;
    ASSERT_EQ(RegistryApi::Success,
              store.enumValue(key, 0, name.data(), &length, nullptr, nullptr, nullptr));
    EXPECT_EQ(longName, std::string(name.data(), length));
    store.closeKey(key);
    EXPECT_EQ(RegistryApi::NotFound, remove("a"));
    EXPECT_EQ(RegistryApi::Success, remove("c"));
    EXPECT_EQ(before.substr(0, before.size() - 3), readFile(path));
    // The same after lines without a NUL.
    writeFile(path, std::string("c d\ne\0f g\n", 11));
    EXPECT_EQ(std::vector<std::string>{"c"}, hktest::listNames(store));
}

TEST_F(HostKeyFile, AFileOf4GiBOrMoreIsRefusedWithoutBeingRead) {
    writeFile(path, "a@1:h k\n");
    hktest::FaultyFiles files;
    PosixHostKeyStore faulty(files);
    Handle key = RegistryApi::NotOpen;
    ASSERT_EQ(RegistryApi::Success, faulty.openKey(currentUser(), CachePath, &key));
    // Sparse: the length costs no disk space, and reading it would cost 4 GiB of memory.
    ASSERT_EQ(0, ::truncate(path.c_str(), 0xFFFFFFFF));
    const unsigned reads = files.calls(hktest::Call::Read);
    const Status fileTooLarge = 223; // ERROR_FILE_TOO_LARGE
    Handle big = RegistryApi::NotOpen;
    EXPECT_EQ(fileTooLarge, faulty.openKey(currentUser(), CachePath, &big));
    EXPECT_EQ(fileTooLarge, faulty.deleteValue(key, "a@1:h"));
    EXPECT_EQ(reads, files.calls(hktest::Call::Read));
    faulty.closeKey(key);
    EXPECT_EQ(0xFFFFFFFFu, std::filesystem::file_size(path));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

TEST_F(HostKeyFile, EachOpenKeyReadsTheFileOnce) {
    writeFile(path, "a@1:h k\n");
    Handle first = open();
    writeFile(path, "b@1:h k\nc@1:h k\n");
    EXPECT_EQ(1u, valueCount(first)) << "the key keeps what it read";
    Handle second = open();
    EXPECT_EQ(2u, valueCount(second));
    EXPECT_NE(first, second);
    // Opening the open key with an empty path reads the file again.
    Handle again = RegistryApi::NotOpen;
    ASSERT_EQ(RegistryApi::Success, store.openKey(first, "", &again));
    EXPECT_EQ(2u, valueCount(again));
    EXPECT_EQ(RegistryApi::NotFound, store.openKey(first, "sub", &again));
    for (Handle key : {first, second}) {
        store.closeKey(key);
    }
}

TEST_F(HostKeyFile, AClosedHandleIsInvalidForEveryCall) {
    writeFile(path, "a@1:h k\n");
    Handle key = open();
    EXPECT_EQ(RegistryApi::Success, store.closeKey(key));
    EXPECT_EQ(RegistryApi::InvalidHandle, store.closeKey(key));
    char name[8];
    std::uint32_t length = sizeof name;
    EXPECT_EQ(RegistryApi::InvalidHandle,
              store.enumValue(key, 0, name, &length, nullptr, nullptr, nullptr));
    EXPECT_EQ(RegistryApi::InvalidHandle, store.deleteValue(key, "a@1:h"));
    EXPECT_EQ("a@1:h k\n", readFile(path));
}

// --- Deleting ----------------------------------------------------------------------------

struct DeleteRow {
    const char* what;
    std::string before;
    const char* name;
    std::string after;
};

void PrintTo(const DeleteRow& row, std::ostream* out) {
    *out << row.what;
}

class DeleteBytes : public HostKeyFile, public ::testing::WithParamInterface<DeleteRow> {};

TEST_P(DeleteBytes, RemovesExactlyTheNamedLines) {
    const DeleteRow& row = GetParam();
    writeFile(path, row.before);
    EXPECT_EQ(RegistryApi::Success, remove(row.name)) << row.what;
    EXPECT_EQ(row.after, readFile(path)) << row.what;
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path())) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeleteBytes,
    ::testing::Values(
        DeleteRow{"mixed line ends stay as they are", "a@1:h x\r\nb@2:h y\nc@3:h z\r\n", "b@2:h",
                  "a@1:h x\r\nc@3:h z\r\n"},
        DeleteRow{"a CRLF line goes with its CR", "a@1:h x\nb@2:h y\r\nc@3:h z", "b@2:h",
                  "a@1:h x\nc@3:h z"},
        DeleteRow{"the last line without a newline", "a@1:h x\nb@2:h y", "b@2:h", "a@1:h x\n"},
        DeleteRow{"the first line before one without a newline", "a@1:h x\nb@2:h y", "a@1:h",
                  "b@2:h y"},
        DeleteRow{"the only line", "a@1:h x\n", "a@1:h", ""},
        DeleteRow{"every duplicate goes", "d@1:h a\nk@1:h b\nd@1:h c\r\nd@1:h", "d@1:h",
                  "k@1:h b\n"},
        DeleteRow{"a comment that mentions the name stays", "# a@1:h x\na@1:h x\n#a@1:h\n", "a@1:h",
                  "# a@1:h x\n#a@1:h\n"},
        DeleteRow{"a longer name that starts with it stays", "a@1:hh x\na@1:h x\na@1:h\tx\n",
                  "a@1:h", "a@1:hh x\na@1:h\tx\n"},
        DeleteRow{"empty lines and lines it does not understand stay",
                  std::string("\n\r\n  \nrubbish\n\0\0\n", 17), "rubbish",
                  std::string("\n\r\n  \n\0\0\n", 9)},
        DeleteRow{"NUL bytes elsewhere stay", std::string("a@1:h \0x\nb@1:h y\0\n", 18), "b@1:h",
                  std::string("a@1:h \0x\n", 9)},
        DeleteRow{"a 1 MiB line stays", std::string(1 << 20, 'x') + " y\na@1:h x\n", "a@1:h",
                  std::string(1 << 20, 'x') + " y\n"},
        DeleteRow{"a line that is only the name", "a@1:h\nb@1:h x\n", "a@1:h", "b@1:h x\n"}));

class BadNames : public HostKeyFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadNames, NeverMatchAndNeverRewrite) {
    const std::string before = "rsa2@22:host1 0xAB,0xCD\n #\n\nrsa2@22:host10 x\r\nend";
    writeFile(path, before);
    ino_t inode = hktest::inodeOf(path);
    EXPECT_EQ(RegistryApi::NotFound, remove(GetParam()));
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(inode, hktest::inodeOf(path)) << "the file was rewritten";
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Names, BadNames,
    ::testing::Values("",                                         // empty (the " #" line's name)
                      " ",                                        // a space
                      "rsa2@22:host1 0xAB,0xCD",                  // a whole line
                      "rsa2@22:host1\n",                          // a newline
                      "rsa2@22:host1\r",                          // the CR of a CRLF line end
                      "rsa2@22:host",                             // a prefix
                      "RSA2@22:HOST1",                            // another case
                      "rsa2@22:host1 0xAB,0xCD\n #\n\nrsa2@22:x", // longer than any line
                      "rsa2@22:host2",                            // just not there
                      "nd",                                       // the end of a line
                      nullptr));                                  // no name at all

// --- Storing -----------------------------------------------------------------------------

struct ChangeRow {
    const char* what;
    std::string before;
    std::vector<std::string> removals;
    std::vector<RegistryApi::ValueText> sets;
    std::string after;
};

void PrintTo(const ChangeRow& row, std::ostream* out) {
    *out << row.what;
}

class ChangeBytes : public HostKeyFile, public ::testing::WithParamInterface<ChangeRow> {};

TEST_P(ChangeBytes, OneRewriteMakesTheWholeBatch) {
    const ChangeRow& row = GetParam();
    writeFile(path, row.before);
    Handle key = open();
    std::size_t applied = 0;
    EXPECT_EQ(RegistryApi::Success, store.applyChanges(key, row.removals, row.sets, &applied));
    EXPECT_EQ(row.removals.size() + row.sets.size(), applied);
    store.closeKey(key);
    EXPECT_EQ(row.after, readFile(path)) << row.what;
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path())) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChangeBytes,
    ::testing::Values(ChangeRow{"every line of the name gets the data, line ends kept",
                                "a@1:h x\r\nb@1:h y\na@1:h z",
                                {},
                                {{"a@1:h", "N"}},
                                "a@1:h N\r\nb@1:h y\na@1:h N"},
                      ChangeRow{"a new name goes last, after the line end the file lacked",
                                "a@1:h x",
                                {},
                                {{"b@1:h", "0x1,0x2"}},
                                "a@1:h x\nb@1:h 0x1,0x2\n"},
                      ChangeRow{"an empty file", "", {}, {{"a@1:h", "x"}}, "a@1:h x\n"},
                      ChangeRow{"removals, replacements and additions at once",
                                "a@1:h x\n# c@1:h\nb@1:h y\nc@1:h z\n",
                                {"a@1:h", "c@1:h", "e@1:h"},
                                {{"c@1:h", "w"}, {"d@1:h", "v"}},
                                "# c@1:h\nb@1:h y\nc@1:h w\nd@1:h v\n"},
                      ChangeRow{"the last data given for a name wins",
                                "b@1:h y\n",
                                {},
                                {{"a@1:h", "1"}, {"a@1:h", "2"}},
                                "b@1:h y\na@1:h 2\n"},
                      ChangeRow{"empty data", "", {}, {{"a@1:h", ""}}, "a@1:h \n"}));

struct RefusedRow {
    const char* what;
    std::string name;
    std::string data; // stored with its NUL
    std::uint32_t type;
};

void PrintTo(const RefusedRow& row, std::ostream* out) {
    *out << row.what;
}

class RefusedValues : public HostKeyFile, public ::testing::WithParamInterface<RefusedRow> {};

// What no line can hold would not read back as it was stored.
TEST_P(RefusedValues, AreInvalidParametersAndNeverRewrite) {
    const RefusedRow& row = GetParam();
    const std::string before = "a@1:h x\n";
    writeFile(path, before);
    const ino_t inode = hktest::inodeOf(path);
    Handle key = open();
    EXPECT_EQ(PosixHostKeyStore::InvalidParameter,
              store.setValue(key, row.name.c_str(), row.type,
                             reinterpret_cast<const unsigned char*>(row.data.c_str()),
                             static_cast<std::uint32_t>(row.data.size() + 1)));
    if (row.type == RegistryApi::RegSz) {
        EXPECT_EQ(PosixHostKeyStore::InvalidParameter,
                  store.applyChanges(key, {}, {{row.name, row.data}}, nullptr));
    }
    store.closeKey(key);
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(inode, hktest::inodeOf(path)) << "the file was rewritten";
}

INSTANTIATE_TEST_SUITE_P(
    Values, RefusedValues,
    ::testing::Values(RefusedRow{"an empty name", "", "x", RegistryApi::RegSz},
                      RefusedRow{"a space in the name", "a@1:h b", "x", RegistryApi::RegSz},
                      RefusedRow{"a newline in the name", "a@1:h\n", "x", RegistryApi::RegSz},
                      RefusedRow{"a CR in the name", "a@1:h\r", "x", RegistryApi::RegSz},
                      RefusedRow{"a newline in the data", "b@1:h", "x\ny", RegistryApi::RegSz},
                      RefusedRow{"a CR in the data", "b@1:h", "x\r", RegistryApi::RegSz},
                      RefusedRow{"a NUL in the data", "b@1:h", std::string("x\0y", 3),
                                 RegistryApi::RegSz},
                      RefusedRow{"a type other than text", "b@1:h", "x", 4}));

TEST_F(HostKeyFile, ARemovalOfANameNoLineCanHaveRefusesTheBatch) {
    writeFile(path, "a@1:h x\n\n");
    Handle key = open();
    EXPECT_EQ(PosixHostKeyStore::InvalidParameter,
              store.applyChanges(key, {"a@1:h", ""}, {{"b@1:h", "y"}}, nullptr));
    store.closeKey(key);
    EXPECT_EQ("a@1:h x\n\n", readFile(path));
}

TEST_F(HostKeyFile, TheDeleteReadsTheFileAgainFirst) {
    writeFile(path, "a@1:h k\n");
    Handle key = open();
    writeFile(path, "b@1:h k\na@1:h k\n"); // another writer since the key was opened
    EXPECT_EQ(RegistryApi::Success, store.deleteValue(key, "a@1:h"));
    EXPECT_EQ("b@1:h k\n", readFile(path));
    std::filesystem::remove(path);
    EXPECT_EQ(RegistryApi::NotFound, store.deleteValue(key, "b@1:h"));
    store.closeKey(key);
}

TEST_F(HostKeyFile, TheModeIsKeptWhateverTheUmask) {
    for (mode_t mode : {0600, 0640, 0644, 0604, 02640}) {
        writeFile(path, "a@1:h k\nb@1:h k\n");
        ASSERT_EQ(0, ::chmod(path.c_str(), mode));
        mode_t old = ::umask(077);
        Status status = remove("a@1:h");
        ::umask(old);
        ASSERT_EQ(RegistryApi::Success, status);
        struct stat st {};
        ASSERT_EQ(0, ::stat(path.c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777) << std::oct << mode;
    }
}

// --- Creating the file ----------------------------------------------------------------

// The file of a user who has none yet: ~/.putty/sshhostkeys, with ~ there and ~/.putty not.
class NewFile : public HostKeyFile {
protected:
    Handle create() {
        Handle key = RegistryApi::NotOpen;
        EXPECT_EQ(RegistryApi::Success, store.createKey(currentUser(), CachePath, &key));
        return key;
    }
    Status set(Handle key) {
        static const char data[] = "0x7";
        return store.setValue(key, "new@22:host4", RegistryApi::RegSz,
                              reinterpret_cast<const unsigned char*>(data), sizeof data);
    }
    // Every path below the temporary directory, links not followed.
    std::vector<std::string> tree() {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    std::string home = (std::filesystem::create_directory(dir.file("home")), dir.file("home"));
    std::string puttyDir = home + "/.putty";
    std::string file = puttyDir + "/sshhostkeys";
    hktest::ScopedEnv where{"PUTTYSSHHOSTKEYS", file};
};

TEST_F(NewFile, TheFirstSetMakesTheDirectoryAndTheFileAsPuTTYDoes) {
    Handle key = create();
    EXPECT_EQ(0u, valueCount(key));
    EXPECT_EQ(RegistryApi::Success,
              store.applyChanges(key, {"a@1:h"}, std::vector<RegistryApi::ValueText>{}, nullptr));
    EXPECT_EQ(RegistryApi::NotFound, store.deleteValue(key, "a@1:h"));
    EXPECT_FALSE(std::filesystem::exists(puttyDir)) << "made for nothing to write";
    const mode_t old = ::umask(027);
    const Status status = set(key);
    ::umask(old);
    EXPECT_EQ(RegistryApi::Success, status);
    EXPECT_EQ(1u, valueCount(key));
    store.closeKey(key);
    EXPECT_EQ("new@22:host4 0x7\n", readFile(file));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(puttyDir));
    struct stat st {};
    ASSERT_EQ(0, ::stat(puttyDir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777) << "0666 less the umask, as PuTTY's";
}

struct PlantRow {
    const char* what;
    void (*plant)(const std::string& home); // after createKey, before the set
    Status expected;
};

void PrintTo(const PlantRow& row, std::ostream* out) {
    *out << row.what;
}

class PlantedBeforeTheSet : public NewFile, public ::testing::WithParamInterface<PlantRow> {};

TEST_P(PlantedBeforeTheSet, IsRefusedAndNothingIsWritten) {
    const PlantRow& row = GetParam();
    Handle key = create();
    std::filesystem::create_directory(dir.file("elsewhere"));
    row.plant(home);
    const std::vector<std::string> planted = tree();
    EXPECT_EQ(row.expected, set(key)) << row.what;
    store.closeKey(key);
    EXPECT_EQ(planted, tree()) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Plants, PlantedBeforeTheSet,
    ::testing::Values(
        PlantRow{"a link at the directory",
                 [](const std::string& home) {
                     std::filesystem::create_directory_symlink(home + "/../elsewhere",
                                                               home + "/.putty");
                 },
                 RegistryApi::AccessDenied},
        PlantRow{"a link at the directory to nowhere",
                 [](const std::string& home) {
                     std::filesystem::create_symlink(home + "/../nowhere", home + "/.putty");
                 },
                 RegistryApi::AccessDenied},
        PlantRow{"a link at the file to nowhere",
                 [](const std::string& home) {
                     std::filesystem::create_directory(home + "/.putty");
                     std::filesystem::create_symlink(home + "/../elsewhere/file",
                                                     home + "/.putty/sshhostkeys");
                 },
                 RegistryApi::AccessDenied},
        PlantRow{"a FIFO at the file's name",
                 [](const std::string& home) {
                     std::filesystem::create_directory(home + "/.putty");
                     ASSERT_EQ(0, ::mkfifo((home + "/.putty/sshhostkeys").c_str(), 0600));
                 },
                 RegistryApi::AccessDenied},
        PlantRow{"a directory at the file's name",
                 [](const std::string& home) {
                     std::filesystem::create_directories(home + "/.putty/sshhostkeys");
                 },
                 RegistryApi::AccessDenied},
        PlantRow{"no home: only the file's own directory is made",
                 [](const std::string& home) { std::filesystem::remove(home); },
                 RegistryApi::NotFound}));

TEST_F(HostKeyFile, TheOwnerIsKeptWhenRootRewritesAUsersFile) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    // Both differ from root's, the group only, the user only.
    for (const auto& owner :
         {std::pair<uid_t, gid_t>{4321, 4322}, {geteuid(), 4322}, {4321, getegid()}}) {
        writeFile(path, "a@1:h k\nb@1:h k\n");
        ASSERT_EQ(0, ::chown(path.c_str(), owner.first, owner.second));
        ASSERT_EQ(RegistryApi::Success, remove("a@1:h"));
        struct stat st {};
        ASSERT_EQ(0, ::stat(path.c_str(), &st));
        EXPECT_EQ(owner.first, st.st_uid);
        EXPECT_EQ(owner.second, st.st_gid);
    }
}

// A member of a shared cache's group may write the file, but not give a new one to its owner.
TEST_F(HostKeyFile, ADeleteThatCannotKeepTheOwnerIsDeniedAndChangesNothing) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can make a file that another user owns";
    }
    const uid_t owner = 4321;
    const gid_t shared = 4322;
    const std::string before = "a@1:h k\nb@1:h k\n";
    writeFile(path, before);
    ASSERT_EQ(0, ::chown(path.c_str(), owner, shared));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0660));
    ASSERT_EQ(0, ::chown(dir.path().c_str(), owner, shared));
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0770));
    const ino_t inode = hktest::inodeOf(path);
    EXPECT_TRUE(hktest::runUnprivileged(
        [&] { EXPECT_EQ(RegistryApi::AccessDenied, remove("a@1:h")); }, {4323, 4323, {shared}}));
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(inode, hktest::inodeOf(path));
    EXPECT_EQ(std::vector<std::string>{"sshhostkeys"}, hktest::entries(dir.path()));
}

TEST_F(HostKeyFile, ASymlinkedFileStaysASymlink) {
    hktest::TempDir elsewhere;
    std::string target = elsewhere.file("real-keys");
    writeFile(target, "a@1:h k\nb@1:h k\n");
    std::filesystem::create_symlink(target, dir.file("middle"));
    std::filesystem::create_symlink(dir.file("middle"), path); // a chain of two links
    EXPECT_EQ(RegistryApi::Success, remove("a@1:h"));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("middle")));
    EXPECT_EQ("b@1:h k\n", readFile(target));
    EXPECT_EQ((std::vector<std::string>{"middle", "sshhostkeys"}), hktest::entries(dir.path()));
    EXPECT_EQ(std::vector<std::string>{"real-keys"}, hktest::entries(elsewhere.path()));
    std::filesystem::remove(target); // now dangling: nothing there
    EXPECT_EQ(RegistryApi::NotFound, remove("b@1:h"));
}

std::string attribute(const std::string& file, const char* name) {
    char value[256];
    ssize_t size = ::getxattr(file.c_str(), name, value, sizeof value);
    return size < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(size));
}

TEST_F(HostKeyFile, TheAclAndExtendedAttributesAreKept) {
    writeFile(path, "a@1:h k\nb@1:h k\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
    ASSERT_EQ(0, std::system(("setfacl -m u:nobody:rw " + path).c_str()));
    ASSERT_EQ(0, ::setxattr(path.c_str(), "user.origin", "dotfiles", 8, 0));
    const std::string acl = attribute(path, "system.posix_acl_access");
    ASSERT_NE("(none)", acl);
    ASSERT_EQ(RegistryApi::Success, remove("a@1:h"));
    EXPECT_EQ(acl, attribute(path, "system.posix_acl_access"));
    EXPECT_EQ("dotfiles", attribute(path, "user.origin"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777) << "the group bits are the ACL's mask";
}

// The new file inherits the directory's default ACL: the file keeps its own, or none.
TEST_F(HostKeyFile, TheDirectorysDefaultAclDoesNotReplaceTheFilesOwn) {
    writeFile(path, "a@1:h k\nb@1:h k\nc@1:h k\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    ASSERT_EQ(0, std::system(("setfacl -d -m u:nobody:rw " + dir.path().string()).c_str()));
    ASSERT_EQ(RegistryApi::Success, remove("a@1:h"));
    EXPECT_EQ("(none)", attribute(path, "system.posix_acl_access"));
    ASSERT_EQ(0, std::system(("setfacl -m u:daemon:r " + path).c_str()));
    const std::string own = attribute(path, "system.posix_acl_access");
    ASSERT_EQ(RegistryApi::Success, remove("b@1:h"));
    EXPECT_EQ(own, attribute(path, "system.posix_acl_access"));
}

TEST_F(HostKeyFile, AFileThatGrowsWhileReadIsReadToItsEnd) {
    // 2 MiB less a byte: the buffer the open allocates is full after the first read.
    std::string before;
    std::vector<std::string> names;
    for (int i = 0; before.size() < (std::size_t{2} << 20) - 64; ++i) {
        names.push_back("k" + std::to_string(i) + "@22:h");
        before += names.back() + " " + std::string(40, 'd') + "\n";
    }
    names.push_back("last@22:h");
    before +=
        names.back() + " " + std::string((std::size_t{2} << 20) - before.size() - 12, 'd') + "\n";
    ASSERT_EQ((std::size_t{2} << 20) - 1, before.size());
    writeFile(path, before);
    hktest::FaultyFiles files;
    files.before(
        hktest::Call::Read, [&] { std::ofstream(path, std::ios::app) << "z@22:h k\n"; }, 2);
    PosixHostKeyStore faulty(files);
    names.push_back("z@22:h");
    EXPECT_EQ(names, hktest::listNames(faulty));
}

TEST_F(HostKeyFile, ReadsAndWritesThatMoveFewBytesAtATimeStillCopyEveryByte) {
    std::string before;
    for (int i = 0; i < 200; ++i) {
        before += "k" + std::to_string(i) + "@22:h " +
                  std::string(static_cast<std::size_t>(i), 'd') + (i % 3 ? "\n" : "\r\n");
    }
    writeFile(path, before);
    hktest::FaultyFiles files;
    files.chunk = 7;
    files.failOn(hktest::Call::Read, EINTR, 3);  // interrupted calls are repeated
    files.failOn(hktest::Call::Write, EINTR, 5); //
    PosixHostKeyStore faulty(files);
    ASSERT_EQ(RegistryApi::Success, hktest::deleteName(faulty, "k7@22:h"));
    std::string expected = before;
    std::string line = "k7@22:h " + std::string(7, 'd') + "\n";
    expected.erase(expected.find(line), line.size());
    EXPECT_EQ(expected, readFile(path));
}

} // namespace
